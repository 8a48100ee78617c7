// The calendar editor: the image library starts before anything else, so that the picture
// dialog knows every format when the main window is created; then the application, the main
// window and the message loop. No argument is read.
#include "editor/EditU1.h"
#include "editor/Startup.h"
#include "imaging/FileFormatList.h"
#include "platform/graphics/Warning.h"
#include "platform/qt/QtImage.h"

#include <QApplication>

#include <memory>

int main(int, char** argv) {
    UseFrenchLocale();
    InstallQtImageReader();
    const TImagingLibrary imaging;

    // Qt is given the program's name alone, so that no argument changes what it does.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication application(qtArgc, qtArgv);
    const std::unique_ptr<QTranslator> french = InstallQtFrench();
    SetWarningHandler(ShowLibraryWarning);

    int result = 0;
    {
        TForm1 Form1;
        Form1.show();
        result = application.exec();
    }
    SetWarningHandler({});
    return result;
}
