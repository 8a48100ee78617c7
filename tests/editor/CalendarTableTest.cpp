#include "editor/CalendarTable.h"

#include <QLocale>

#include <clocale>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

namespace {

TEST(KeyValueTest, ReadsSectionNames) {
    // Whatever the user's decimal convention.
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    const std::pair<const char*, double> cases[] = {{"4,5", 4.5},
                                                    {"4.5", 4.5},
                                                    {" 12", 12},
                                                    {"12 ", -1},
                                                    {"1,5,3", -1},
                                                    {"1.5e2", 150},
                                                    {"-", -1},
                                                    {"abc", -1},
                                                    {"", -1},
                                                    {"   ", -1},
                                                    {".", 0},
                                                    {"-,5", -0.5},
                                                    {"+3", 3},
                                                    {"5.", 5},
                                                    {",", 0},
                                                    {"1e", -1},
                                                    {"1e+", -1},
                                                    {"1E-2", 0.01},
                                                    {"4,5e1", 45},
                                                    {"e5", 0},
                                                    {"1.5,", -1},
                                                    {"4,5 ", -1},
                                                    {"1e999", HUGE_VAL},
                                                    {"-1e999", -HUGE_VAL},
                                                    {"1e-999", 0},
                                                    {"0x10", -1},
                                                    {"4;5", -1},
                                                    {"\t4", -1}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(KeyValue(QString::fromUtf8(text)), value) << text;
    }
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(QLocale::c());
}

TEST(KeyValueTest, ErrorPositions) {
    const std::pair<const char*, int> cases[] = {{"", 1},    {"  ", 3},    {"+", 2},   {"1e", 3},
                                                 {"1e-", 4}, {"4,5", 2},   {"12 ", 3}, {"a", 1},
                                                 {" -x", 3}, {"1.2.3", 4}, {"1ex", 3}};
    for (const auto& [text, position] : cases) {
        double value = 0;
        int error = 0;
        EXPECT_FALSE(TextToFloat(text, value, error)) << text;
        EXPECT_EQ(error, position) << text;
    }
}

TEST(SortSectionsTest, ExchangeOrder) {
    QStringList names{"10", "2,5", "2.4", "abc"};
    SortSections(names);
    EXPECT_EQ(names, QStringList({"abc", "2.4", "2,5", "10"}));

    // Equal values can pass each other: 1, 3 (first), 3 (second), 2.
    names = {"1", "3", "3.0", "2"};
    SortSections(names);
    EXPECT_EQ(names, QStringList({"1", "2", "3.0", "3"}));

    names = {"Primaire", "Secondaire", "Tertiaire", "Ère"};
    SortSections(names);
    EXPECT_EQ(names, QStringList({"Primaire", "Secondaire", "Tertiaire", "Ère"}));
}

// The exchange procedure as written, every value computed at every comparison.
QStringList ReferenceOrder(QStringList names) {
    for (qsizetype i = 0; i < names.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (KeyValue(names[j]) > KeyValue(names[i])) names.swapItemsAt(j, i);
        }
    }
    return names;
}

TEST(SortSectionsTest, SameOrderAsTheProcedureWithManyEqualValues) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        QStringList names;
        const int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i) {
            // Few distinct values, each spelt differently every time (trailing zeros, comma or
            // point), and texts that are no number.
            const int value = static_cast<int>(random() % 6) - 1;
            const QString zeros(i, u'0');
            names.append(value < 0      ? "x" + zeros
                         : (i % 2 != 0) ? QString("%1,%2").arg(value).arg(zeros)
                                        : QString("%1.%2").arg(value).arg(zeros));
        }
        QStringList sorted = names;
        SortSections(sorted);
        EXPECT_EQ(sorted, ReferenceOrder(names)) << names.join('|').toStdString();
    }
}

TEST(CalendarTableTest, KeysAndHeadings) {
    EXPECT_EQ(ModeKeys(emScale),
              QStringList({"eon", "ere", "systeme", "serie", "etage", "couleur", "labelbio",
                           "imagebio", "lienbio", "labelpaleo", "imagepaleo", "lienpaleo"}));
    EXPECT_EQ(ModeKeys(emEvent), QStringList({"evenement"}));
    EXPECT_EQ(ModeKeys(emData), QStringList({"Echelle", "Evenement"}));
    EXPECT_EQ(
        ModeHeadings(emScale),
        QStringList({"Début", "Eon", "Ere", "Systeme", "série", "Etage", "Couleur", "Label Bio.",
                     "Image Bio.", "Lien Bio.", "Label Paléo.", "Image Paléo.", "Lien Paléo."}));
    EXPECT_EQ(ModeHeadings(emEvent), QStringList({"Début", "Evenement"}));
    EXPECT_EQ(ModeHeadings(emData),
              QStringList({"Item du menu", "Fichier Echelle", "Fichier Evenement"}));
}

} // namespace
