// chronolith-image: the image library from the command line. Lists the registered formats,
// describes a file, converts a file, makes a thumbnail for file managers, measures decoding.
#include "app/ImageWriters.h"
#include "imaging/ColorManager.h"
#include "imaging/FileFormatList.h"
#include "imaging/ImageGraphic.h"
#include "platform/files/AtomicFile.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Picture.h"
#include "platform/graphics/Stream.h"
#include "platform/qt/BitmapImage.h"
#include "platform/qt/QtImage.h"

#include <QImage>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const MainUsage =
    "Usage: chronolith-image COMMAND [ARGUMENTS]\n"
    "       chronolith-image --help | --version\n"
    "\n"
    "Commands:\n"
    "  formats                list the registered image formats and the open dialog's filter\n"
    "  info FILE              describe FILE as the class registered for its extension loads it\n"
    "  convert IN OUT         load IN by its extension and write OUT by its extension\n"
    "  thumbnail IN OUT SIZE  write a PNG thumbnail of IN within SIZE x SIZE pixels\n"
    "  bench FILE [-n N]      decode FILE N times and print the median time\n"
    "\n"
    "`chronolith-image COMMAND --help` describes one command.\n";

const char* const FormatsUsage =
    "Usage: chronolith-image formats\n"
    "\n"
    "Prints the records of the global picture registry in registration order (extension,\n"
    "description, class; a later record of an extension shadows an earlier one), then the\n"
    "filter string of the picture-open dialog.\n";

const char* const InfoUsage =
    "Usage: chronolith-image info FILE\n"
    "\n"
    "Loads FILE through the class registered for its extension and prints that class, the\n"
    "pixel format, width and height, and for the library's readers every image property.\n"
    "Exit status 0 on success, 1 when the file cannot be loaded.\n";

const char* const ConvertUsage =
    "Usage: chronolith-image convert [--auto-orient] IN OUT\n"
    "\n"
    "Loads IN through the class registered for its extension (or, when that class does not\n"
    "recognise the content, the one that does) and writes OUT by its own extension, row by\n"
    "row, whole or not at all:\n"
    "  .png  8-bit PNG: 1-, 4- and 8-bit images as palette images with their palette (and its\n"
    "        transparency), images with transparency as RGBA, every other image as RGB.\n"
    "  .pam  P7, DEPTH 4, MAXVAL 255, TUPLTYPE RGB_ALPHA; palettes resolved, 5-bit channels\n"
    "        widened by bit replication, alpha where the image has it and 255 otherwise.\n"
    "  .tga  Targa, run-length compressed: 1-, 4- and 8-bit images as 8-bit indices with a\n"
    "        colour map, 15/16-bit as 5-5-5, 24- and 32-bit as they are.\n"
    "The rows keep the order the file stores them in; --auto-orient turns the picture upright\n"
    "as the file's orientation (TIFF, Photoshop EXIF) says.\n"
    "Exit status: 0 on success; 1 with the error's message when loading or writing fails;\n"
    "2 with \"empty image\" when the load leaves the image empty without an error.\n";

const char* const ThumbnailUsage =
    "Usage: chronolith-image thumbnail IN OUT SIZE\n"
    "\n"
    "Loads IN through the class registered for its extension and writes OUT, a PNG image\n"
    "with IN's aspect ratio whose longer side is SIZE pixels (1 to 4096); an image that\n"
    "already fits keeps its size. For file managers (the chronolith.thumbnailer entry): the\n"
    "load may take at most 128 MiB and 10 seconds of processor time (20 seconds in all), and\n"
    "OUT appears whole or not at all.\n"
    "Exit status: 0 on success; 1 with a message when loading or writing fails or a limit is\n"
    "reached; 2 with \"empty image\" when the load leaves the image empty without an error.\n";

const char* const BenchUsage =
    "Usage: chronolith-image bench FILE [-n N]\n"
    "\n"
    "Reads FILE into memory once, decodes it N times (default 10) through the class\n"
    "registered for its extension and prints the median milliseconds per decode and the\n"
    "megapixels decoded per second.\n";

bool WantsHelp(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

int UsageError(const char* message, const char* usage) {
    std::fprintf(stderr, "chronolith-image: %s\n\n%s", message, usage);
    return 1;
}

// A bar on standard error, shown once a load has run long enough to notice and only on a
// terminal; driven by the picture's progress events.
class TProgressBar {
public:
    explicit TProgressBar(TPicture& picture) : enabled_(isatty(STDERR_FILENO) != 0) {
        if (!enabled_) return;
        picture.OnProgress = [this](TGraphic&, TProgressStage stage, uint8_t percent, bool,
                                    const TRect&, const std::string& message) {
            Update(stage, percent, message);
        };
    }
    ~TProgressBar() { Clear(); }
    TProgressBar(const TProgressBar&) = delete;
    TProgressBar& operator=(const TProgressBar&) = delete;

private:
    static constexpr auto Delay = std::chrono::milliseconds(300);
    static constexpr int Cells = 40;

    void Update(TProgressStage stage, uint8_t percent, const std::string& message) {
        if (stage == psStarting && !message.empty()) phase_ = message;
        if (stage == psEnding || Clock::now() - start_ < Delay) return;
        const int filled = std::min<int>(percent, 100) * Cells / 100;
        if (filled == lastFilled_ && stage == psRunning) return;
        lastFilled_ = filled;
        std::fprintf(stderr, "\r%-16.16s [%s%s] %3d%%", phase_.c_str(),
                     std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(Cells - filled), '.').c_str(), int(percent));
        std::fflush(stderr);
        shown_ = true;
    }
    void Clear() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%*s\r", Cells + 24, "");
        std::fflush(stderr);
    }

    bool enabled_;
    bool shown_ = false;
    int lastFilled_ = -1;
    std::string phase_ = "Decoding";
    Clock::time_point start_ = Clock::now();
};

// An output file as a stream: the bytes go into a replacement of the file as they are written,
// and the file appears whole on Commit or not at all.
class TOutputFile : public TStream {
public:
    explicit TOutputFile(const std::string& fileName)
        : fileName_(fileName), replacement_(fileName) {
        Check(replacement_.Error());
    }

    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void* buffer, size_t count) override {
        if (!replacement_.Write(std::string_view(static_cast<const char*>(buffer), count)))
            Check(replacement_.Error());
        written_ += int64_t(count);
        return count;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        if (offset != 0 || origin != TSeekOrigin::soCurrent) throw EStreamError(msgStreamSeek);
        return written_;
    }
    int64_t Size() override { return written_; }

    void Commit() { Check(replacement_.Commit()); }

private:
    void Check(int error) const {
        if (error != 0)
            throw EStreamError(FormatImageMessage(msgCannotWrite, fileName_, std::strerror(error)));
    }

    std::string fileName_;
    TFileReplacement replacement_;
    int64_t written_ = 0;
};

const char* PixelFormatName(TBitmapFormat format) {
    switch (format) {
    case bfDevice:
        return "bfDevice";
    case bf1Bit:
        return "bf1Bit";
    case bf4Bit:
        return "bf4Bit";
    case bf8Bit:
        return "bf8Bit";
    case bf15Bit:
        return "bf15Bit";
    case bf16Bit:
        return "bf16Bit";
    case bf24Bit:
        return "bf24Bit";
    case bf32Bit:
        return "bf32Bit";
    case bfCustom:
        return "bfCustom";
    }
    return "?";
}

const char* CompressionName(TCompressionKind kind) {
    static const char* const names[] = {
        "ckUnknown",  "ckNone",       "ckRunLength",     "ckPackBits",       "ckLZW",
        "ckFax3",     "ckFaxHuffman", "ckFax4",          "ckFaxHuffmanWord", "ckDeflate",
        "ckJPEG",     "ckOldJPEG",    "ckThunderscan",   "ckNeXT",           "ckIT8CTPad",
        "ckIT8LW",    "ckIT8MP",      "ckIT8BL",         "ckPixarFilm",      "ckPixarLog",
        "ckKodakDCS", "ckJBIG",       "ckPhotoCDHuffman"};
    return kind < std::size(names) ? names[kind] : "?";
}

const char* ColorModelName(TColorModel model) {
    static const char* const names[] = {
        "cmUnknown",  "cmPalette", "cmGray", "cmGrayAlpha", "cmRGB",   "cmRGBAlpha", "cmBGR",
        "cmBGRAlpha", "cmCMY",     "cmCMYK", "cmCIELab",    "cmYCbCr", "cmPhotoYCC"};
    return model < std::size(names) ? names[model] : "?";
}

template <class T> std::string Join(const std::vector<T>& values) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i)
        text += (i ? ", " : "") + std::to_string(unsigned(values[i]));
    return text + "]";
}

void PrintProperties(const TImageProperties& p) {
    std::string flags;
    const std::pair<TImageFlag, const char*> flagNames[] = {{flTiled, "flTiled"},
                                                            {flBigEndian, "flBigEndian"},
                                                            {flWhiteIsZero, "flWhiteIsZero"},
                                                            {flLowBitFirst, "flLowBitFirst"},
                                                            {flGammaCorrected, "flGammaCorrected"}};
    for (const auto& [flag, name] : flagNames)
        if (p.Flags.Contains(flag)) flags += (flags.empty() ? "" : ", ") + std::string(name);
    auto yes = [](bool b) { return b ? "true" : "false"; };
    std::printf("ImageProperties:\n");
    std::printf("  Version: %u\n", p.Version);
    std::printf("  Flags: [%s]\n", flags.c_str());
    std::printf("  Width: %u\n", p.Width);
    std::printf("  Height: %u\n", p.Height);
    std::printf("  ColorModel: %s\n", ColorModelName(p.ColorModel));
    std::printf("  BitsPerSample: %u\n", unsigned(p.BitsPerSample));
    std::printf("  SamplesPerPixel: %u\n", unsigned(p.SamplesPerPixel));
    std::printf("  BitsPerPixel: %u\n", unsigned(p.BitsPerPixel));
    std::printf("  Compression: %s\n", CompressionName(p.Compression));
    std::printf("  SourceGamma: %g\n", double(p.SourceGamma));
    std::printf("  XResolution: %g\n", double(p.XResolution));
    std::printf("  YResolution: %g\n", double(p.YResolution));
    std::printf("  Interlaced: %s\n", yes(p.Interlaced));
    std::printf("  HasAlpha: %s\n", yes(p.HasAlpha));
    std::printf("  FirstIFD: %u\n", p.FirstIFD);
    std::printf("  PlanarConfig: %u\n", p.PlanarConfig);
    std::printf("  CurrentRow: %u\n", p.CurrentRow);
    std::printf("  TileWidth: %u\n", p.TileWidth);
    std::printf("  TileLength: %u\n", p.TileLength);
    std::printf("  BytesPerRow: %u\n", p.BytesPerRow);
    std::printf("  RowsPerStrip: %s\n", Join(p.RowsPerStrip).c_str());
    std::printf("  YCbCrSubSampling: %s\n", Join(p.YCbCrSubSampling).c_str());
    std::printf("  JPEGTables: %zu bytes\n", p.JPEGTables.size());
    std::printf("  JPEGColorMode: %u\n", p.JPEGColorMode);
    std::printf("  JPEGTablesMode: %u\n", p.JPEGTablesMode);
    std::printf("  CurrentStrip: %u\n", p.CurrentStrip);
    std::printf("  StripCount: %u\n", p.StripCount);
    std::printf("  Predictor: %u\n", p.Predictor);
    std::printf("  Overview: %s\n", yes(p.Overview));
    std::printf("  Rotation: %u\n", unsigned(p.Rotation));
    std::printf("  ImageCount: %u\n", unsigned(p.ImageCount));
    std::printf("  LocalColorMap: %s\n", yes(p.LocalColorMap));
    std::printf("  BottomUp: %s\n", yes(p.BottomUp));
    std::printf("  Channels: %u\n", unsigned(p.Channels));
    std::printf("  FilterMode: %u\n", unsigned(p.FilterMode));
}

// `text` followed by blanks up to `width` characters (UTF-8 sequences count as one).
std::string Pad(const std::string& text, size_t width) {
    size_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    return text + std::string(chars < width ? width - chars : 0, ' ');
}

int Formats(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) return std::printf("%s", FormatsUsage), 0;
    if (argc != 2) return UsageError("formats takes no arguments", FormatsUsage);
    TFileFormatsList& formats = GetFileFormats();
    for (size_t i = 0; i < formats.Records().size(); ++i) {
        const TFileFormat& record = formats.Records()[i];
        std::printf("%s %s %s\n", Pad(record.Extension, 5).c_str(),
                    Pad(formats.DescriptionOf(i), 40).c_str(),
                    record.GraphicClass ? record.GraphicClass->Name : "");
    }
    std::printf("\n%s\n", BuildPictureFilter(TGraphic::ClassRef()).c_str());
    return 0;
}

int Info(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) return std::printf("%s", InfoUsage), 0;
    if (argc != 3) return UsageError("info takes one file", InfoUsage);
    TPicture picture;
    {
        TProgressBar bar(picture);
        picture.LoadFromFile(argv[2]);
    }
    const TGraphic* graphic = picture.Graphic();
    std::printf("File: %s\n", argv[2]);
    std::printf("Class: %s\n", graphic->ClassType()->Name);
    if (const TBitmap* bitmap = graphic->AsBitmap()) {
        std::printf("PixelFormat: %s (%d bits per pixel)\n", PixelFormatName(bitmap->PixelFormat()),
                    bitmap->BitsPerPixel());
        if (!bitmap->Palette().Empty())
            std::printf("Palette: %zu entries\n", bitmap->Palette().Count());
    } else {
        std::printf("PixelFormat: none (not a bitmap)\n");
    }
    std::printf("Width: %d\n", graphic->Width());
    std::printf("Height: %d\n", graphic->Height());
    if (const auto* image = dynamic_cast<const TImageGraphic*>(graphic))
        PrintProperties(image->ImageProperties);
    return 0;
}

int Convert(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) return std::printf("%s", ConvertUsage), 0;
    std::vector<std::string> files;
    bool autoOrient = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--auto-orient") == 0)
            autoOrient = true;
        else
            files.push_back(argv[i]);
    }
    if (files.size() != 2)
        return UsageError("convert takes an input and an output file", ConvertUsage);
    const std::string in = files[0], out = files[1];
    const TImageWriter writer = FindImageWriter(ExtractFileExtension(out));
    if (!writer) {
        std::fprintf(stderr, "Cannot write .%s files (writable: %s).\n",
                     ExtractFileExtension(out).c_str(), WriterExtensions().c_str());
        return 1;
    }
    TPicture picture;
    {
        TProgressBar bar(picture);
        picture.LoadFromFile(in);
    }
    const TBitmap* bitmap = picture.Graphic()->AsBitmap();
    if (!bitmap) {
        std::fprintf(stderr, "%s has no pixels to write.\n", picture.Graphic()->ClassType()->Name);
        return 1;
    }
    if (bitmap->Empty()) {
        std::fprintf(stderr, "empty image\n");
        return 2;
    }
    // The rows go to the file as they are converted: the tool holds the bitmap and a row.
    std::unique_ptr<TBitmap> upright;
    if (autoOrient && picture.Graphic()->Orientation() > 1) {
        upright = UprightCopy(*bitmap, picture.Graphic()->Orientation());
        bitmap = upright.get();
    }
    TOutputFile file(out);
    writer(*bitmap, file);
    file.Commit();
    return 0;
}

// Limits of a thumbnail: a file manager runs the tool on every file of a folder, downloads
// included, so no file may make it take much memory or time.
constexpr size_t ThumbnailMemory = size_t(128) << 20;
constexpr rlim_t ThumbnailCpuSeconds = 10;
constexpr unsigned ThumbnailWallSeconds = 20;
constexpr int MaxThumbnailSize = 4096;

extern "C" void OnThumbnailTimeLimit(int) {
    static const char message[] = "chronolith-image: time limit reached\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    _exit(1);
}

// Ends the process with status 1 when the load takes more than the thumbnail's processor or
// wall-clock time; the destructor lifts both limits again.
class TTimeLimit {
public:
    TTimeLimit() {
        std::signal(SIGXCPU, OnThumbnailTimeLimit);
        std::signal(SIGALRM, OnThumbnailTimeLimit);
        getrlimit(RLIMIT_CPU, &saved_);
        rlimit limit = saved_;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        // A stricter limit of the caller's stays.
        const rlim_t used = rlim_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec);
        limit.rlim_cur = std::min(saved_.rlim_cur, used + ThumbnailCpuSeconds);
        setrlimit(RLIMIT_CPU, &limit);
        alarm(ThumbnailWallSeconds);
    }
    ~TTimeLimit() {
        alarm(0);
        setrlimit(RLIMIT_CPU, &saved_);
    }
    TTimeLimit(const TTimeLimit&) = delete;
    TTimeLimit& operator=(const TTimeLimit&) = delete;

private:
    rlimit saved_{};
};

// The bitmap within side x side pixels, its aspect ratio kept; never enlarged. A large
// bitmap is first sampled down to about four times the size (at most 2048 pixels a side unless
// the size is larger, so that the sampled image of a 1-bit bitmap stays small), then filtered.
QImage ThumbnailOf(const TBitmap& bitmap, int side) {
    const int width = bitmap.Width(), height = bitmap.Height();
    if (width <= side && height <= side) return BitmapToQImage(bitmap);
    const double scale = double(side) / double(std::max(width, height));
    const int targetWidth = std::max(1, int(std::lround(width * scale)));
    const int targetHeight = std::max(1, int(std::lround(height * scale)));
    const int bound = std::max(side, std::min(4 * side, 2048));
    const QImage sampled = BitmapToQImage(bitmap, QSize(bound, bound));
    if (sampled.isNull()) return {};
    return sampled.scaled(targetWidth, targetHeight, Qt::IgnoreAspectRatio,
                          Qt::SmoothTransformation);
}

int Thumbnail(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) return std::printf("%s", ThumbnailUsage), 0;
    if (argc != 5)
        return UsageError("thumbnail takes an input file, an output file and a size",
                          ThumbnailUsage);
    int side = 0;
    if (!TryStrToInt(argv[4], side) || side < 1 || side > MaxThumbnailSize)
        return UsageError("SIZE must be a number from 1 to 4096", ThumbnailUsage);
    TBitmap::SetMaxPixelBytes(ThumbnailMemory);
    TMemoryStream png;
    {
        const TTimeLimit limit;
        TPicture picture;
        picture.LoadFromFile(argv[2]);
        const TBitmap* bitmap = picture.Graphic()->AsBitmap();
        if (!bitmap) {
            std::fprintf(stderr, "%s has no pixels to show.\n",
                         picture.Graphic()->ClassType()->Name);
            return 1;
        }
        if (bitmap->Empty()) {
            std::fprintf(stderr, "empty image\n");
            return 2;
        }
        const QImage image =
            UprightImage(ThumbnailOf(*bitmap, side), picture.Graphic()->Orientation());
        if (image.isNull()) throw EInvalidGraphic(FormatImageMessage(msgOutOfMemory, "PNG"));
        WritePNG(image, png);
    }
    // Written whole or not at all, so that a reader never sees part of it.
    if (const int error = WriteFileWhole(
            argv[3],
            std::string_view(reinterpret_cast<const char*>(png.Data().data()), png.Data().size()));
        error != 0)
        throw EStreamError(FormatImageMessage(msgCannotWrite, argv[3], std::strerror(error)));
    return 0;
}

int Bench(int argc, char** argv) {
    if (WantsHelp(argc, argv, 2)) return std::printf("%s", BenchUsage), 0;
    std::string file;
    int runs = 10;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            if (!TryStrToInt(argv[++i], runs) || runs < 1)
                return UsageError("-n needs a positive number", BenchUsage);
        } else if (file.empty()) {
            file = argv[i];
        } else {
            return UsageError("bench takes one file", BenchUsage);
        }
    }
    if (file.empty()) return UsageError("bench needs a file", BenchUsage);
    const TGraphicClass graphicClass = FindPictureClassForFile(file);
    TMemoryStream data;
    data.LoadFromFile(file);

    std::vector<double> times;
    int32_t width = 0, height = 0;
    for (int i = 0; i < runs; ++i) {
        std::unique_ptr<TGraphic> graphic = graphicClass->Create();
        data.SetPosition(0);
        const auto start = Clock::now();
        graphic->LoadFromStream(data);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        width = graphic->Width();
        height = graphic->Height();
    }
    std::sort(times.begin(), times.end());
    const double median = runs % 2 ? times[size_t(runs / 2)]
                                   : (times[size_t(runs / 2 - 1)] + times[size_t(runs / 2)]) / 2;
    const double megapixels = double(width) * double(height) / 1e6;
    std::printf("%s: %s, %d x %d, %d runs\n", file.c_str(), graphicClass->Name, width, height,
                runs);
    std::printf("median %.3f ms, %.1f MP/s\n", median,
                median > 0 ? megapixels / (median / 1000) : 0.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    InstallQtImageReader();
    TImagingLibrary imaging;
    if (argc < 2) return UsageError("no command", MainUsage);
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help")
        return std::printf("%s", MainUsage), 0;
    if (command == "--version") return std::printf("chronolith-image %s\n", CHRONOLITH_VERSION), 0;
    try {
        if (command == "formats") return Formats(argc, argv);
        if (command == "info") return Info(argc, argv);
        if (command == "convert") return Convert(argc, argv);
        if (command == "thumbnail") return Thumbnail(argc, argv);
        if (command == "bench") return Bench(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return UsageError(("unknown command \"" + command + "\"").c_str(), MainUsage);
}
