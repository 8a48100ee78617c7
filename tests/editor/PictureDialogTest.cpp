#include "imaging/FileFormatList.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Picture.h"
#include "platform/ui/OpenPictureDialog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

const QString kData = QStringLiteral(CHRONOLITH_TEST_DATA "/editor");

// Closes every dialog still open after `seconds`, so that a test that fails to answer a modal
// dialog fails instead of hanging.
class TFailSafe {
public:
    explicit TFailSafe(int seconds = 10) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            fired_ = true;
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
        });
        timer_.start(seconds * 1000);
    }
    ~TFailSafe() { EXPECT_FALSE(fired_) << "a dialog had to be closed by the fail-safe timer"; }

private:
    QTimer timer_;
    bool fired_ = false;
};

// Processes events until `done` holds or the time is up.
bool WaitFor(const std::function<bool()>& done, int milliseconds = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > milliseconds) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QDialog* ModalDialog() {
    return qobject_cast<QDialog*>(QApplication::activeModalWidget());
}

// A picture class whose load reports progress slowly, to see the progress bar.
class TSlowPicture : public TBitmap {
public:
    DECLARE_GRAPHIC_CLASS()
    void LoadFromStream(TStream&) override {
        Progress(psStarting, 0, false, {}, "Loading");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        Progress(psRunning, 40, true, {0, 0, 64, 16}, "");
        if (OnSeen) OnSeen();
        Progress(psRunning, 80, true, {0, 0, 64, 32}, "");
        Progress(psEnding, 100, false, {}, "");
        SetPixelFormat(bf24Bit);
        SetSize(64, 32);
    }
    static inline std::function<void()> OnSeen;
};
DEFINE_GRAPHIC_CLASS(TSlowPicture, TBitmap)

} // namespace

TEST(QtNameFilters, RegistryFilterBecomesQtFilters) {
    EXPECT_EQ(QtNameFilters("Tout (*.png;*.bmp)|*.png;*.bmp|Portable network graphic images "
                            "(*.png)|*.png|Bitmaps (*.bmp)|*.bmp"),
              QStringList({"Tout (*.png *.bmp)", "Portable network graphic images (*.png)",
                           "Bitmaps (*.bmp)"}));
    EXPECT_EQ(QtNameFilters("Html|*.htm;*.html"), QStringList({"Html (*.htm *.html)"}));
    EXPECT_TRUE(QtNameFilters("").isEmpty());
}

TEST(PreviewRect, CentredWhenItFitsScaledFromTheCornerOtherwise) {
    EXPECT_EQ(PreviewRect(20, 10, 200, 200), QRect(90, 95, 20, 10));
    EXPECT_EQ(PreviewRect(200, 200, 200, 200), QRect(0, 0, 200, 200));
    EXPECT_EQ(PreviewRect(400, 100, 200, 200), QRect(0, 0, 200, 50));
    EXPECT_EQ(PreviewRect(100, 400, 200, 200), QRect(0, 0, 50, 200));
    EXPECT_EQ(PreviewRect(300, 300, 200, 200), QRect(0, 0, 200, 200));
    // The other side is rounded to nearest: 133.3 and 1.5.
    EXPECT_EQ(PreviewRect(300, 200, 200, 200), QRect(0, 0, 200, 133));
    EXPECT_EQ(PreviewRect(400, 3, 200, 200), QRect(0, 0, 200, 2));
    EXPECT_EQ(PreviewRect(3, 400, 200, 200), QRect(0, 0, 2, 200));
    // Products beyond 32 bits.
    EXPECT_EQ(PreviewRect(2000000000, 1000000000, 200, 200), QRect(0, 0, 200, 100));
    // A box flatter than the picture: scaled to the box's height, never cut.
    EXPECT_EQ(PreviewRect(400, 300, 200, 50), QRect(0, 0, 67, 50));
    EXPECT_EQ(PreviewRect(300, 400, 50, 200), QRect(0, 0, 50, 67));
}

// The preview window shows a picture whole and in its proportions, within the screen.
TEST(PreviewWindow, PicturesFitTheScreenInTheirProportions) {
    EXPECT_EQ(PreviewWindowSize({20, 10}, {1000, 700}), QSize(20, 10));
    EXPECT_EQ(PreviewWindowSize({4000, 1000}, {1000, 700}), QSize(1000, 250));
    EXPECT_EQ(PreviewWindowSize({1000, 4000}, {1000, 700}), QSize(175, 700));
    // Drawn centred, at its size when it fits, else scaled down whole.
    EXPECT_EQ(FitRect({20, 10}, {100, 50}), QRect(40, 20, 20, 10));
    EXPECT_EQ(FitRect({400, 100}, {100, 100}), QRect(0, 37, 100, 25));
    EXPECT_EQ(FitRect({100, 400}, {100, 100}), QRect(37, 0, 25, 100));
}

TEST(PictureDialog, FilterIsBuiltOnceFromTheRegistry) {
    TOpenPictureDialog dialog;
    const QString built = QString::fromStdString(BuildPictureFilter(TGraphic::ClassRef()));
    EXPECT_EQ(dialog.Filter(), built);
    const QStringList filters = dialog.nameFilters();
    ASSERT_FALSE(filters.isEmpty());
    EXPECT_TRUE(filters.first().startsWith("Tout (")) << filters.first().toStdString();
    EXPECT_TRUE(filters.first().contains("*.bmp"));
    EXPECT_EQ(filters.size(), qsizetype(GetFileFormats().Records().size()) + 1);

    // A format registered later reaches new dialogs only.
    RegisterPictureFormat("slowprev", "Slow previews", TSlowPicture::ClassRef());
    EXPECT_EQ(dialog.Filter(), built);
    EXPECT_FALSE(dialog.nameFilters().join(' ').contains("slowprev"));
    TOpenPictureDialog later;
    EXPECT_TRUE(later.nameFilters().first().contains("*.slowprev"));
    UnregisterPictureClass(TSlowPicture::ClassRef());
}

TEST(PictureDialog, PreviewPanelFollowsTheSelection) {
    TOpenPictureDialog dialog;
    EXPECT_EQ(dialog.PictureLabel()->text(), "Image :");
    EXPECT_FALSE(dialog.PreviewButton()->isEnabled());
    EXPECT_EQ(dialog.PreviewButton()->toolTip(), "Prévisualiser");

    dialog.ShowPreview(kData + "/red.bmp");
    EXPECT_EQ(dialog.PictureLabel()->text(), " (20x10)");
    EXPECT_TRUE(dialog.PreviewButton()->isEnabled());
    EXPECT_EQ(dialog.Picture().Width(), 20);

    // Capitals in the extension find the JPEG class.
    dialog.ShowPreview(kData + "/WIDE.JPG");
    EXPECT_EQ(dialog.PictureLabel()->text(), " (400x100)");

    // Errors are swallowed: unreadable file, unknown extension, missing file, a folder.
    for (const QString& bad : {kData + "/notapicture.bmp", kData + "/notes.txt",
                               kData + "/missing.bmp", kData, QString()}) {
        dialog.ShowPreview(kData + "/red.bmp");
        dialog.ShowPreview(bad);
        EXPECT_EQ(dialog.PictureLabel()->text(), "Image :") << bad.toStdString();
        EXPECT_FALSE(dialog.PreviewButton()->isEnabled());
        EXPECT_EQ(dialog.Picture().Width(), 0);
    }
}

TEST(PictureDialog, ANameTypedInFullIsPreviewed) {
    TOpenPictureDialog dialog;
    dialog.setDirectory(kData);
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(QStringLiteral("red.bm"));
    EXPECT_EQ(dialog.PictureLabel()->text(), "Image :");
    name->setText(QStringLiteral("red.bmp"));
    EXPECT_EQ(dialog.PictureLabel()->text(), " (20x10)");
}

TEST(PictureDialog, LargePicturesAreDecodedAtTheBoxSize) {
    // A 1200 x 900 JPEG made by Qt: the preview asks for the box's size (at least 256 pixels),
    // which libjpeg gives by its scaled transform; the label names the stored size.
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("large.jpg"));
    QImage large(1200, 900, QImage::Format_RGB32);
    large.fill(QColor(30, 120, 200));
    ASSERT_TRUE(large.save(path, "JPEG"));
    TOpenPictureDialog dialog;
    dialog.ShowPreview(path);
    EXPECT_EQ(dialog.PictureLabel()->text(), " (1200x900)");
    EXPECT_LT(dialog.Picture().Width(), 1200);
    EXPECT_GE(dialog.Picture().Width(), 256);
}

TEST(PictureDialog, PaintBoxDrawsThePicture) {
    TOpenPictureDialog dialog;
    dialog.show();
    QFrame* box = dialog.PaintBox();
    ASSERT_TRUE(WaitFor([&] { return box->width() >= 200 && box->height() >= 200; }));
    const QRect area = box->contentsRect();

    // Empty: "(vide)" in the middle, nothing around it.
    const QImage empty = box->grab().toImage();
    const QRgb background = empty.pixel(area.topLeft() + QPoint(2, 2));
    bool textInMiddle = false;
    for (int x = area.center().x() - 20; x < area.center().x() + 20; ++x)
        textInMiddle |= empty.pixel(x, area.center().y()) != background;
    EXPECT_TRUE(textInMiddle);

    // A small picture at its own size, centred.
    dialog.ShowPreview(kData + "/red.bmp");
    QImage shot = box->grab().toImage();
    const QRect centred =
        PreviewRect(20, 10, area.width(), area.height()).translated(area.topLeft());
    EXPECT_EQ(shot.pixel(centred.center()), qRgb(255, 0, 0));
    EXPECT_EQ(shot.pixel(centred.left() - 2, centred.center().y()), background);
    EXPECT_EQ(shot.pixel(area.center().x(), area.center().y() - 20), background);

    // A wide picture: full width from the top-left corner.
    dialog.ShowPreview(kData + "/WIDE.JPG");
    shot = box->grab().toImage();
    const QRect scaled =
        PreviewRect(400, 100, area.width(), area.height()).translated(area.topLeft());
    EXPECT_EQ(scaled.topLeft(), area.topLeft());
    EXPECT_EQ(scaled.width(), area.width());
    const QColor inside = shot.pixelColor(scaled.center());
    EXPECT_LT(inside.red(), 30);
    EXPECT_GT(inside.blue(), 220);
    EXPECT_EQ(shot.pixel(area.center().x(), scaled.bottom() + 3), background);
    dialog.hide();
}

TEST(PictureDialog, ProgressBarShowsDuringASlowLoad) {
    RegisterPictureFormat("slowprev", "Slow previews", TSlowPicture::ClassRef());
    TOpenPictureDialog dialog;
    dialog.show();
    bool seenVisible = false;
    int seenValue = -1;
    TSlowPicture::OnSeen = [&] {
        seenVisible = dialog.ProgressBar()->isVisible();
        seenValue = dialog.ProgressBar()->value();
    };
    dialog.ShowPreview(kData + "/notes.txt");
    EXPECT_FALSE(dialog.ProgressBar()->isVisible());

    // Any existing file will do: the slow class reads nothing.
    QTemporaryFile file(QDir::tempPath() + "/XXXXXX.slowprev");
    ASSERT_TRUE(file.open());
    dialog.ShowPreview(file.fileName());
    TSlowPicture::OnSeen = nullptr;
    EXPECT_TRUE(seenVisible);
    EXPECT_EQ(seenValue, 40);
    EXPECT_FALSE(dialog.ProgressBar()->isVisible());
    EXPECT_EQ(dialog.PictureLabel()->text(), " (64x32)");
    UnregisterPictureClass(TSlowPicture::ClassRef());
    dialog.hide();
}

TEST(PictureDialog, ModalDialogChoosesAFileWithPreview) {
    TFailSafe failSafe;
    TOpenPictureDialog dialog;
    dialog.InitialDir = kData;
    dialog.Title = "Image biosphère pour 4,5";
    dialog.FileName.clear();

    const QString red = QFileInfo(kData + "/red.bmp").absoluteFilePath();
    bool checked = false;
    QTimer::singleShot(0, [&] {
        QDialog* modal = ModalDialog();
        ASSERT_EQ(modal, &dialog);
        EXPECT_EQ(dialog.windowTitle(), "Image biosphère pour 4,5");
        EXPECT_EQ(dialog.PictureLabel()->text(), "Image :");
        EXPECT_FALSE(dialog.PreviewButton()->isEnabled());

        // The user clicks red.bmp in the list.
        auto* model = dialog.findChild<QFileSystemModel*>();
        auto* list = dialog.findChild<QAbstractItemView*>("listView");
        ASSERT_TRUE(model && list);
        ASSERT_TRUE(WaitFor([&] {
            const QModelIndex index = model->index(red);
            return index.isValid() && list->visualRect(index).isValid();
        }));
        const QModelIndex index = model->index(red);
        list->scrollTo(index);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).center());
        ASSERT_TRUE(WaitFor([&] { return dialog.PictureLabel()->text() == " (20x10)"; }))
            << dialog.PictureLabel()->text().toStdString();
        EXPECT_TRUE(dialog.PreviewButton()->isEnabled());

        // The preview window, closed with Escape.
        bool windowChecked = false;
        QTimer::singleShot(0, [&] {
            QDialog* window = ModalDialog();
            ASSERT_NE(window, nullptr);
            EXPECT_NE(window, &dialog);
            EXPECT_EQ(window->windowTitle(), "Prévisualiser - red.bmp (20x10)");
            EXPECT_EQ(window->size(), QSize(30, 20));
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(window, &escape);
            windowChecked = true;
        });
        dialog.PreviewButton()->click();
        EXPECT_TRUE(windowChecked);
        EXPECT_EQ(ModalDialog(), &dialog);
        checked = true;
        // "Open".
        auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
        ASSERT_NE(buttons, nullptr);
        buttons->button(QDialogButtonBox::Open)->click();
    });
    EXPECT_TRUE(dialog.Execute());
    EXPECT_TRUE(checked);
    EXPECT_EQ(QFileInfo(dialog.FileName).absoluteFilePath(), red);
    // The preview is not kept once the dialog has closed.
    EXPECT_EQ(dialog.Picture().Width(), 0);
}

TEST(PictureDialog, CancelKeepsTheFileName) {
    TFailSafe failSafe;
    TOpenPictureDialog dialog;
    dialog.InitialDir = kData;
    dialog.FileName = "avant.bmp";
    QTimer::singleShot(0, [&] {
        QDialog* modal = ModalDialog();
        ASSERT_EQ(modal, &dialog);
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(modal, &escape);
    });
    EXPECT_FALSE(dialog.Execute());
    EXPECT_EQ(dialog.FileName, "avant.bmp");
}

// One application and the image library for the whole program, as the editor has them.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TImagingLibrary library;
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
