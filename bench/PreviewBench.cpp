// The picture dialog's own cost: from a file being selected to its preview painted, on an
// offscreen dialog, beside the decode alone at the size the preview asks for. The preview may
// cost at most a tenth more than that decode (progress painting and the drawing included).
//
//   preview_bench [--benchmark_filter=...]   (QT_QPA_PLATFORM=offscreen is set by the program)
#include "imaging/FileFormatList.h"
#include "platform/graphics/Picture.h"
#include "platform/qt/QtImage.h"
#include "platform/ui/OpenPictureDialog.h"

#include <QApplication>
#include <QFrame>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const std::string Inputs = CHRONOLITH_BENCH_DATA "/readers/";
const char* const Files[] = {"jpeg.jpg",       "png_rgb.png",    "png_adam7.png", "gif_8bit.gif",
                             "tga_24_raw.tga", "tga_24_rle.tga", "png_gray16.png"};

// The dialog the benchmarks share (main's), laid out as the editor shows it.
TOpenPictureDialog* g_dialog = nullptr;
TOpenPictureDialog& Dialog() {
    return *g_dialog;
}

// The size the preview asks for: its box, at least 256 pixels a side.
QSize Requested() {
    return Dialog().PaintBox()->contentsRect().size().expandedTo(QSize(256, 256));
}

void Decode(benchmark::State& state, const std::string& file) {
    if (!std::filesystem::exists(Inputs + file)) {
        state.SkipWithError("missing input: build the reader_bench_inputs target");
        return;
    }
    const QSize size = Requested();
    for (auto _ : state) {
        TPicture picture;
        picture.SetRequestedSize(size.width(), size.height());
        picture.SetSamplingMargin(2); // as the dialog asks
        picture.LoadFromFile(Inputs + file);
        benchmark::DoNotOptimize(picture.Graphic());
    }
}

void Preview(benchmark::State& state, const std::string& file) {
    if (!std::filesystem::exists(Inputs + file)) {
        state.SkipWithError("missing input: build the reader_bench_inputs target");
        return;
    }
    TOpenPictureDialog& dialog = Dialog();
    for (auto _ : state) {
        dialog.ShowPreview(QString::fromStdString(Inputs + file));
        dialog.PaintBox()->repaint();
    }
}

const bool registered = [] {
    for (const char* file : Files) {
        benchmark::RegisterBenchmark((std::string("Decode/") + file).c_str(), Decode, file)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime();
        benchmark::RegisterBenchmark((std::string("Preview/") + file).c_str(), Preview, file)
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime();
    }
    return true;
}();

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    InstallQtImageReader();
    const TImagingLibrary imaging;
    TOpenPictureDialog dialog;
    dialog.resize(900, 600);
    dialog.show();
    QApplication::processEvents();
    g_dialog = &dialog;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
