// Preloaded into the real editor by the program test (LD_PRELOAD), so that the program itself
// stays as it ships. When the application object starts, this drives the main window: it
// reports the title, the locale and the headings, types into a cell of the data file, and chooses
// "Quitter". Each finding is one line "key=value" of the file named by
// CHRONOLITH_DRIVER_REPORT; without that variable it does nothing.
#include <QAction>
#include <QApplication>
#include <QDate>
#include <QFile>
#include <QLineEdit>
#include <QLocale>
#include <QMainWindow>
#include <QTableView>
#include <QTest>
#include <QTimer>

namespace {

void Report(const QString& line) {
    QFile file(qEnvironmentVariable("CHRONOLITH_DRIVER_REPORT"));
    if (file.open(QIODevice::Append)) file.write((line + u'\n').toUtf8());
}

QMainWindow* MainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<QMainWindow*>(widget);
        if (window && window->isVisible() &&
            window->windowTitle().startsWith(QStringLiteral("Chronolith - ")))
            return window;
    }
    return nullptr;
}

void Drive(int attempt) {
    QMainWindow* window = MainWindow();
    if (window == nullptr) {
        if (attempt < 500) {
            QTimer::singleShot(20, [attempt] { Drive(attempt + 1); });
        } else {
            Report(QStringLiteral("error=no main window"));
            QCoreApplication::exit(3);
        }
        return;
    }
    Report(QStringLiteral("title=") + window->windowTitle());
    // What the dialogs show of dates, sizes and their own texts.
    const QLocale system = QLocale::system();
    Report(QStringLiteral("locale=") + system.name() + u' ' + QLocale().name());
    Report(QStringLiteral("size=") + system.formattedDataSize(1080));
    Report(QStringLiteral("date=") +
           system.toString(QDate(2024, 12, 8), QStringLiteral("d MMM yyyy")));
    Report(QStringLiteral("number=") + QLocale().toString(1.5));
    Report(QStringLiteral("translated=") + QCoreApplication::translate("QFileDialog", "Look in:"));
    auto* table = window->findChild<QTableView*>();
    auto* editor = table != nullptr ? table->findChild<QLineEdit*>() : nullptr;
    auto* quit = window->findChild<QAction*>(QStringLiteral("Quitter1"));
    if (editor == nullptr || quit == nullptr) {
        Report(QStringLiteral("error=no table, cell editor or Quitter"));
        QCoreApplication::exit(3);
        return;
    }
    for (int col = 0; col < table->model()->columnCount(); ++col) {
        Report(QStringLiteral("heading=") +
               table->model()->headerData(col, Qt::Horizontal).toString());
    }
    // Row 1 is the current row; two tabs reach its event file name, which typing replaces.
    QTest::keyClick(editor, Qt::Key_Tab);
    QTest::keyClick(editor, Qt::Key_Tab);
    QTest::keyClicks(editor, QStringLiteral("Evenements2.ini"));
    Report(QStringLiteral("typed=") + editor->text());
    quit->trigger();
    Report(window->isVisible() ? QStringLiteral("quit=refused") : QStringLiteral("quit=done"));
}

void StartDriver() {
    if (qEnvironmentVariableIsEmpty("CHRONOLITH_DRIVER_REPORT")) return;
    QTimer::singleShot(0, [] { Drive(0); });
    // Fail-safe: the program ends even when the window never answers.
    QTimer::singleShot(30000, [] {
        Report(QStringLiteral("error=timeout"));
        QCoreApplication::exit(4);
    });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(StartDriver)
