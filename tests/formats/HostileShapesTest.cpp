// Every reader against files shaped to cost a viewer dearly: a megabyte built from one of its
// own files (the header followed by zeros or by 0xFF bytes, the start of the file repeated so
// that offsets and tables point back into the same data, the file cut and padded with copies of
// itself). Each load runs in a child process with the load's memory budget and a little more as
// its address-space limit; it must end (loaded or refused) within half a second of processor
// time, without a crash.
#include "FormatTestSupport.h"

#include "imaging/FileFormatList.h"
#include "imaging/ImageGraphic.h"
#include "platform/graphics/Picture.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace formats_test;

namespace {

constexpr size_t Megabyte = size_t(1) << 20;
constexpr size_t Budget = size_t(64) << 20;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers reserve address space of their own.
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

// One file of each reader that has a signature, by the reader's extension.
const char* const Samples[] = {
    "tga/pil_rgba_rle_topdown.tga",
    "tiff/bw_gray_lzw.tif",
    "eps/eps_lzw_pred.eps",
    "pcx/im_palette.pcx",
    "rla/gamma_mac.rla",
    "sgi/im_gray.sgi",
    "psd/im_rgba_rle.psd",
    "pnm/hd_comments.ppm",
    "autodesk/py_palette.cel",
    "pcd/overview.pcd",
    "gif/im_interlaced.gif",
    "cut/colors300.cut",
    "psp/psp5_rgba_lz77.psp",
    "png/basn6a08.png",
};

// The hostile shapes of a file.
std::vector<std::pair<std::string, Bytes>> Shapes(const Bytes& file) {
    const size_t head = std::min<size_t>(file.size(), 64);
    Bytes zeros(file.begin(), file.begin() + std::ptrdiff_t(head));
    zeros.resize(Megabyte, 0);
    Bytes ones(file.begin(), file.begin() + std::ptrdiff_t(head));
    ones.resize(Megabyte, 0xFF);
    Bytes repeated;
    const size_t start = std::min<size_t>(file.size(), 4096);
    while (repeated.size() < Megabyte)
        repeated.insert(repeated.end(), file.begin(), file.begin() + std::ptrdiff_t(start));
    Bytes padded(file.begin(), file.begin() + std::ptrdiff_t(file.size() / 2));
    while (padded.size() < Megabyte) padded.insert(padded.end(), file.begin(), file.end());
    return {{"zeros", zeros}, {"ones", ones}, {"repeated", repeated}, {"padded", padded}};
}

// Loads `bytes` as `extension` in a child process; answers the child's processor seconds, or a
// negative number when it did not end normally.
double LoadInChild(const Bytes& bytes, const std::string& extension) {
    const std::string path =
        testing::TempDir() + "hostile-" + std::to_string(getpid()) + "." + extension;
    TMemoryStream(bytes).SaveToFile(path);
    const pid_t child = fork();
    if (child == 0) {
        if (!Sanitized) {
            // The address space now, the budget and a little for the readers' small buffers.
            long pages = 0, resident = 0;
            if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) pages = 0;
                std::fclose(statm);
            }
            const rlim_t limit =
                rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + Budget + (rlim_t(32) << 20);
            const rlimit space{limit, limit};
            setrlimit(RLIMIT_AS, &space);
        }
        TBitmap::SetMaxPixelBytes(Budget);
        const std::clock_t start = std::clock();
        try {
            TPicture picture;
            picture.LoadFromFile(path);
        } catch (const std::exception&) {
        }
        const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
        _exit(std::min(250, int(seconds * 100)));
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::remove(path.c_str());
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) / 100.0;
}

TEST(HostileShapes, EveryReaderEndsQuicklyWithinItsBudget) {
    const TImagingLibrary library;
    for (const char* sample : Samples) {
        const std::string name = sample;
        const std::string extension = name.substr(name.rfind('.') + 1);
        for (const auto& [shape, bytes] : Shapes(ReadFile(DataPath(name)))) {
            const double seconds = LoadInChild(bytes, extension);
            EXPECT_GE(seconds, 0) << name << " " << shape << ": the load did not end normally";
            EXPECT_LT(seconds, HostileCpuSeconds) << name << " " << shape;
        }
    }
}

} // namespace
