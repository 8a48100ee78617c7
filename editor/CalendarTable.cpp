#include "editor/CalendarTable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

const std::array<QString, 12> ScaleKeys = {
    QStringLiteral("eon"),        QStringLiteral("ere"),        QStringLiteral("systeme"),
    QStringLiteral("serie"),      QStringLiteral("etage"),      QStringLiteral("couleur"),
    QStringLiteral("labelbio"),   QStringLiteral("imagebio"),   QStringLiteral("lienbio"),
    QStringLiteral("labelpaleo"), QStringLiteral("imagepaleo"), QStringLiteral("lienpaleo")};
const std::array<QString, 2> DataKeys = {QStringLiteral("Echelle"), QStringLiteral("Evenement")};
const QString EventKey = QStringLiteral("evenement");

QStringList ModeKeys(TEditMode mode) {
    switch (mode) {
    case emScale:
        return QStringList(ScaleKeys.begin(), ScaleKeys.end());
    case emEvent:
        return {EventKey};
    case emData:
        return QStringList(DataKeys.begin(), DataKeys.end());
    }
    return {};
}

QStringList ModeHeadings(TEditMode mode) {
    switch (mode) {
    case emScale:
        return {QStringLiteral("Début"),        QStringLiteral("Eon"),
                QStringLiteral("Ere"),          QStringLiteral("Systeme"),
                QStringLiteral("série"),        QStringLiteral("Etage"),
                QStringLiteral("Couleur"),      QStringLiteral("Label Bio."),
                QStringLiteral("Image Bio."),   QStringLiteral("Lien Bio."),
                QStringLiteral("Label Paléo."), QStringLiteral("Image Paléo."),
                QStringLiteral("Lien Paléo.")};
    case emEvent:
        return {QStringLiteral("Début"), QStringLiteral("Evenement")};
    case emData:
        return {QStringLiteral("Item du menu"), QStringLiteral("Fichier Echelle"),
                QStringLiteral("Fichier Evenement")};
    }
    return {};
}

bool TextToFloat(const QString& text, double& value, int& errorPosition) {
    const qsizetype length = text.size();
    qsizetype i = 0;
    auto isDigit = [&](qsizetype at) {
        return at < length && text[at] >= u'0' && text[at] <= u'9';
    };
    auto fail = [&](qsizetype at) {
        errorPosition = static_cast<int>(at) + 1;
        return false;
    };
    auto skipDigits = [&] {
        const qsizetype start = i;
        while (isDigit(i)) ++i;
        return i - start;
    };
    while (i < length && text[i] == u' ') ++i;
    bool negative = false;
    if (i < length && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    if (i == length) return fail(i);
    const qsizetype integerStart = i;
    const qsizetype integerDigits = skipDigits();
    qsizetype fractionStart = i;
    qsizetype fractionDigits = 0;
    if (i < length && text[i] == u'.') {
        fractionStart = ++i;
        fractionDigits = skipDigits();
    }
    bool negativeExponent = false;
    qsizetype exponentStart = i;
    qsizetype exponentDigits = 0;
    if (i < length && (text[i] == u'E' || text[i] == u'e')) {
        ++i;
        if (i < length && (text[i] == u'+' || text[i] == u'-'))
            negativeExponent = text[i++] == u'-';
        exponentStart = i;
        exponentDigits = skipDigits();
        if (exponentDigits == 0) return fail(i);
    }
    if (i < length) return fail(i);

    // Rebuilt in the form std::from_chars reads: [-]digits.digits[e[-]digits].
    std::string number;
    number.reserve(static_cast<size_t>(length) + 4);
    auto copy = [&](qsizetype start, qsizetype count) {
        for (qsizetype k = start; k < start + count; ++k) {
            number.push_back(static_cast<char>(text[k].unicode()));
        }
    };
    if (negative) number.push_back('-');
    number.push_back('0');
    copy(integerStart, integerDigits);
    number.push_back('.');
    copy(fractionStart, fractionDigits);
    number.push_back('0');
    if (exponentDigits > 0) {
        number.push_back('e');
        if (negativeExponent) number.push_back('-');
        copy(exponentStart, exponentDigits);
    }
    double result = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), result);
    if (error == std::errc::result_out_of_range) {
        // Beyond the range of a double: infinite, or zero for a very negative exponent.
        result = negativeExponent ? 0.0 : HUGE_VAL;
        if (negative) result = -result;
    }
    value = result;
    errorPosition = 0;
    return true;
}

double KeyValue(const QString& text) {
    double value = 0;
    int errorPosition = 0;
    if (TextToFloat(text, value, errorPosition)) return value;
    if (errorPosition >= 1 && errorPosition <= text.size() && text[errorPosition - 1] == u',') {
        QString withPoint = text;
        withPoint[errorPosition - 1] = u'.';
        if (TextToFloat(withPoint, value, errorPosition)) return value;
    }
    return -1;
}

void SortSections(QStringList& names) {
    const auto count = static_cast<size_t>(names.size());
    std::vector<double> values(count);
    std::vector<qsizetype> order(count);
    for (size_t i = 0; i < count; ++i) {
        values[i] = KeyValue(names[static_cast<qsizetype>(i)]);
        order[i] = static_cast<qsizetype>(i);
    }
    // Position i takes part in every exchange of its step, so its name and value are held
    // aside while the earlier positions are walked. The earlier positions are in order at each
    // step, so none before the first strictly greater value can be exchanged.
    for (size_t i = 1; i < count; ++i) {
        double held = values[i];
        qsizetype heldName = order[i];
        const size_t first = static_cast<size_t>(
            std::upper_bound(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(i),
                             held) -
            values.begin());
        for (size_t j = first; j < i; ++j) {
            if (values[j] > held) {
                std::swap(values[j], held);
                std::swap(order[j], heldName);
            }
        }
        values[i] = held;
        order[i] = heldName;
    }
    QStringList sorted;
    sorted.reserve(names.size());
    for (const qsizetype index : order) sorted.append(names[index]);
    names = std::move(sorted);
}
