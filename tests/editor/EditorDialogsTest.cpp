// The main window's commands answering the real Qt dialogs (picture dialog with its preview,
// file dialog, colour chooser, message box), each guarded by a fail-safe timer.
#include "EditorTestSupport.h"
#include "editor/EditU1.h"
#include "editor/Startup.h"
#include "imaging/FileFormatList.h"
#include "platform/ui/FileDialogs.h"
#include "platform/ui/OpenPictureDialog.h"
#include "platform/ui/StringGrid.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const QString kData = QStringLiteral(CHRONOLITH_TEST_DATA "/editor");

// The application with the image library started first and Qt's French texts, as the program
// has them.
class TQtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        imaging_ = std::make_unique<TImagingLibrary>();
        application_ = std::make_unique<QApplication>(argc_, argv_);
        french_ = InstallQtFrench();
    }
    void TearDown() override {
        french_.reset();
        application_.reset();
        imaging_.reset();
    }

private:
    int argc_ = 1;
    char name_[13] = "dialog_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<TImagingLibrary> imaging_;
    std::unique_ptr<QApplication> application_;
    std::unique_ptr<QTranslator> french_;
};

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

// Rejects every dialog still open after `seconds`, so that a test that fails to answer a modal
// dialog fails instead of hanging.
class TFailSafe {
public:
    explicit TFailSafe(int seconds = 15) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            fired_ = true;
            while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->reject();
        });
        timer_.start(seconds * 1000);
    }
    ~TFailSafe() { EXPECT_FALSE(fired_) << "a dialog had to be closed by the fail-safe timer"; }

private:
    QTimer timer_;
    bool fired_ = false;
};

bool WaitFor(const std::function<bool()>& done, int milliseconds = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Runs `answer` on the modal dialog once it is open; `answered` tells that it ran through.
void WhenModal(const std::function<void(QDialog*)>& answer, bool& answered) {
    QTimer::singleShot(0, [answer, &answered] {
        QDialog* dialog = nullptr;
        if (!WaitFor([&] {
                dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                return dialog != nullptr;
            }))
            return;
        answer(dialog);
        answered = true;
    });
}

QAbstractButton* ButtonWithText(QWidget* dialog, const QString& text) {
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
        if (button->text().remove(u'&') == text) return button;
    return nullptr;
}

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        base = dir.path() + "/";
        ASSERT_TRUE(QDir().mkpath(base + "Images"));
        ASSERT_TRUE(QDir().mkpath(base + "Html"));
        ASSERT_TRUE(QFile::copy(kData + "/red.bmp", base + "Images/red.bmp"));
        WriteBytes(base + "Html/page.htm", "<p>4,5</p>");
        WriteBytes(base + "Donnees.ini", "[Menu]\r\nEchelle=\r\n");
        WriteBytes(base + "Echelle.ini", "[4,5]\r\neon=Hadeen\r\n");
        form = std::make_unique<TForm1>();
        form->BaseDir = base;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        grid = form->StringGrid1;
    }
    QString Value(const QString& section, const QString& key) {
        return TIniFile(base + "Echelle.ini").ReadValue(section, key, "<absent>");
    }

    QTemporaryDir dir;
    QString base;
    std::unique_ptr<TForm1> form;
    TStringGrid* grid = nullptr;
};

TEST_F(DialogsTest, PictureDialogPreviewsAndStoresTheChosenImage) {
    form->OpenScaleFile("Echelle.ini");
    grid->SetCurrentCell(0, 1);
    TFailSafe failSafe;
    bool answered = false;
    WhenModal(
        [&](QDialog* modal) {
            auto* dialog = form->OpenPictureDialog1;
            ASSERT_EQ(modal, dialog);
            EXPECT_EQ(dialog->windowTitle(), "Image biosphère pour 4,5");
            EXPECT_EQ(QDir(dialog->directory()).canonicalPath(),
                      QDir(base + "Images").canonicalPath());
            EXPECT_EQ(dialog->PictureLabel()->text(), "Image :");
            auto* model = dialog->findChild<QFileSystemModel*>();
            auto* list = dialog->findChild<QAbstractItemView*>("listView");
            ASSERT_TRUE(model && list);
            const QString red = base + "Images/red.bmp";
            ASSERT_TRUE(WaitFor([&] {
                const QModelIndex index = model->index(red);
                return index.isValid() && list->visualRect(index).isValid();
            }));
            const QModelIndex index = model->index(red);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualRect(index).center());
            ASSERT_TRUE(WaitFor([&] { return dialog->PictureLabel()->text() == " (20x10)"; }))
                << dialog->PictureLabel()->text().toStdString();
            EXPECT_TRUE(dialog->PreviewButton()->isEnabled());
            // Qt's own texts are French.
            EXPECT_NE(ButtonWithText(dialog, "Annuler"), nullptr);
            auto* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
            ASSERT_NE(buttons, nullptr);
            buttons->button(QDialogButtonBox::Open)->click();
        },
        answered);
    form->Choisirimage1->trigger();
    EXPECT_TRUE(answered);
    EXPECT_EQ(grid->Cells(8, 1), "Images\\red.bmp");
    EXPECT_EQ(Value("4,5", "imagebio"), "Images\\red.bmp");
}

TEST_F(DialogsTest, FileDialogTakesATypedName) {
    ASSERT_TRUE(QDir().mkpath(base + "Html/Archives des pages anciennes"));
    form->OpenScaleFile("Echelle.ini");
    grid->SetCurrentCell(0, 1);
    TFailSafe failSafe;
    bool answered = false;
    WhenModal(
        [&](QDialog* modal) {
            ASSERT_EQ(modal, form->OpenDialog1);
            // French throughout, and the list's columns as wide as what they show.
            auto* model = modal->findChild<QFileSystemModel*>();
            QAbstractItemView* tree = modal->findChild<QTreeView*>("treeView");
            ASSERT_TRUE(model && tree);
            const QString folder = base + "Html/Archives des pages anciennes";
            ASSERT_TRUE(WaitFor([&] {
                return model->index(folder).isValid() &&
                       static_cast<QTreeView*>(tree)->columnWidth(0) >= tree->sizeHintForColumn(0);
            }));
            EXPECT_EQ(model->type(model->index(folder)), "Dossier");
            for (int col = 0; col < 4; ++col)
                EXPECT_GE(static_cast<QTreeView*>(tree)->columnWidth(col),
                          tree->sizeHintForColumn(col))
                    << col;
            EXPECT_EQ(modal->windowTitle(), "Lien pour Image Paléo.4,5");
            EXPECT_EQ(form->OpenDialog1->nameFilters(), QStringList({"Html (*.htm *.html)"}));
            auto* edit = modal->findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(edit, nullptr);
            EXPECT_EQ(edit->text(), QString());
            QTest::keyClicks(edit, "page.htm");
            QTest::keyClick(edit, Qt::Key_Return);
        },
        answered);
    form->ChoisirLienPalo1->trigger();
    EXPECT_TRUE(answered);
    EXPECT_EQ(Value("4,5", "lienpaleo"), "Html\\page.htm");

    // Cancelled: nothing changes.
    answered = false;
    WhenModal([&](QDialog* modal) { modal->reject(); }, answered);
    form->ChoisirLienBiosphre1->trigger();
    EXPECT_TRUE(answered);
    EXPECT_EQ(Value("4,5", "lienbio"), QString());
}

TEST_F(DialogsTest, ColourDialogWritesTheChosenColour) {
    form->OpenScaleFile("Echelle.ini");
    grid->SetCurrentCell(0, 1);
    TFailSafe failSafe;
    bool answered = false;
    WhenModal(
        [&](QDialog* modal) {
            ASSERT_EQ(modal, form->ColorDialog1);
            auto* dialog = static_cast<QColorDialog*>(modal);
            EXPECT_EQ(dialog->currentColor(), QColor(Qt::black));
            EXPECT_NE(ButtonWithText(dialog, "Annuler"), nullptr);
            dialog->setCurrentColor(QColor(0, 0, 255));
            auto* buttons = dialog->findChild<QDialogButtonBox*>();
            ASSERT_NE(buttons, nullptr);
            buttons->button(QDialogButtonBox::Ok)->click();
        },
        answered);
    form->Choisircouleur2->trigger();
    EXPECT_TRUE(answered);
    EXPECT_EQ(Value("4,5", "couleur"), "16711680");
}

TEST_F(DialogsTest, ErrorBoxForAFileWithoutName) {
    grid->SetCurrentCell(0, 1);
    TFailSafe failSafe;
    bool answered = false;
    WhenModal(
        [&](QDialog* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->windowTitle(), "Erreur");
            EXPECT_EQ(box->text(), "Le nom du fichier n'est pas défini !");
            EXPECT_EQ(box->icon(), QMessageBox::Critical);
            ASSERT_EQ(box->buttons().size(), 1);
            EXPECT_EQ(box->buttons()[0]->text(), "OK");
            box->buttons()[0]->click();
        },
        answered);
    form->EditerlefichierEchelle1->trigger();
    EXPECT_TRUE(answered);
    EXPECT_EQ(form->EditMode, emData);
}

} // namespace
