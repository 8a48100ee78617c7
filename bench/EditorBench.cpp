// Calendar editor: loading a large scale file into the table, and saving one row of a 1 MB
// scale file. The files are made at bench time in a temporary folder.
#include "editor/EditU1.h"
#include "platform/ui/StringGrid.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

// A scale file of `sections` intervals with all twelve keys filled, Windows style.
QString MakeScaleFile(const QTemporaryDir& dir, const QString& name, int sections) {
    QByteArray bytes;
    for (int i = 0; i < sections; ++i) {
        bytes +=
            "[" + QByteArray::number(sections - i) + "," + QByteArray::number(i % 10) + "]\r\n";
        bytes += "eon=Phan\xE9rozo\xEFque\r\nere=Pal\xE9ozo\xEFque\r\nsysteme=Cambrien\r\n"
                 "serie=Terreneuvien\r\netage=Fortunien\r\ncouleur=8388736\r\n"
                 "labelbio=Faune d'\xC9"
                 "diacara\r\nimagebio=Images\\bio" +
                 QByteArray::number(i) + ".jpg\r\nlienbio=Html\\bio" + QByteArray::number(i) +
                 ".htm\r\nlabelpaleo=Rodinia\r\nimagepaleo=Images\\paleo" + QByteArray::number(i) +
                 ".png\r\nlienpaleo=Html\\paleo" + QByteArray::number(i) + ".htm\r\n\r\n";
    }
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return {};
    return path;
}

void BM_LoadScaleFile10000(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = MakeScaleFile(dir, "echelle.ini", 10000);
    TForm1 form;
    form.show();
    for (auto _ : state) {
        // As opening a file does: a new file object, then the load.
        form.ScaleFile = std::make_unique<TIniFile>(path);
        form.LoadTable(form.ScaleFile.get());
        QApplication::processEvents();
    }
    if (form.StringGrid1->RowCount() != 10001) state.SkipWithError("rows missing");
}
BENCHMARK(BM_LoadScaleFile10000)->Unit(benchmark::kMillisecond)->MinTime(3);

void BM_SaveRowOf1MBScaleFile(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = MakeScaleFile(dir, "echelle.ini", 3500);
    state.counters["file_bytes"] = static_cast<double>(QFile(path).size());
    TForm1 form;
    form.show();
    form.ScaleFile = std::make_unique<TIniFile>(path);
    form.LoadTable(form.ScaleFile.get());
    TStringGrid& grid = *form.StringGrid1;
    const int row = 1750;
    form.SelectedKey = grid.Cells(0, row);
    int i = 0;
    for (auto _ : state) {
        grid.SetCells(3, row,
                      (++i % 2) != 0 ? QStringLiteral("Ordovicien") : QStringLiteral("Silurien"));
        form.SaveRow(row);
    }
}
BENCHMARK(BM_SaveRowOf1MBScaleFile)->Unit(benchmark::kMillisecond)->MinTime(2);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
