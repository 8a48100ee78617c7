// PackBits, TIFF LZW, GIF LZW and two-dimensional fax decoding against libtiff and giflib on
// the same data, made by make_codec_data.sh (run by the build before this benchmark). Every
// side decodes into an output buffer allocated and touched once before timing.
//
// The fax page is a page of text, A4 at 300 dpi (about 1 MB of pixels), in Group 4 and in
// Group 3 2-D; libtiff decodes it with TIFFReadEncodedStrip into the same one-bit rows.
#include "imaging/codecs/FaxDecoders.h"
#include "imaging/codecs/LZWDecoders.h"
#include "imaging/codecs/RunLengthDecoders.h"

#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& name) {
    std::ifstream file(std::string(CHRONOLITH_BENCH_DATA) + "/codecs/" + name, std::ios::binary);
    if (!file) throw std::runtime_error("missing benchmark input " + name);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// A TIFF file held in memory, opened through libtiff with the file mapped in place so that
// libtiff reads no copy of the strip.
class TMemoryTiff {
public:
    explicit TMemoryTiff(const std::string& name) : data_(ReadFile(name)) {
        tiff_ =
            TIFFClientOpen(name.c_str(), "rm", this, Read, Write, Seek, Close, Size, Map, Unmap);
        if (!tiff_ || TIFFNumberOfStrips(tiff_) != 1) throw std::runtime_error("bad " + name);
    }
    ~TMemoryTiff() { TIFFClose(tiff_); }
    TMemoryTiff(const TMemoryTiff&) = delete;
    TMemoryTiff& operator=(const TMemoryTiff&) = delete;

    TIFF* Handle() const { return tiff_; }
    size_t StripSize() const { return size_t(TIFFStripSize(tiff_)); }
    // The compressed bytes of the single strip.
    Bytes RawStrip() const {
        uint64_t* offsets = nullptr;
        uint64_t* counts = nullptr;
        TIFFGetField(tiff_, TIFFTAG_STRIPOFFSETS, &offsets);
        TIFFGetField(tiff_, TIFFTAG_STRIPBYTECOUNTS, &counts);
        return Bytes(data_.begin() + ptrdiff_t(offsets[0]),
                     data_.begin() + ptrdiff_t(offsets[0] + counts[0]));
    }

private:
    static TMemoryTiff& Self(thandle_t h) { return *static_cast<TMemoryTiff*>(h); }
    static tmsize_t Read(thandle_t h, void* buffer, tmsize_t size) {
        TMemoryTiff& t = Self(h);
        const size_t n = std::min(size_t(size), t.data_.size() - std::min(t.pos_, t.data_.size()));
        std::memcpy(buffer, t.data_.data() + t.pos_, n);
        t.pos_ += n;
        return tmsize_t(n);
    }
    static tmsize_t Write(thandle_t, void*, tmsize_t) { return 0; }
    static toff_t Seek(thandle_t h, toff_t offset, int whence) {
        TMemoryTiff& t = Self(h);
        t.pos_ = whence == SEEK_SET   ? size_t(offset)
                 : whence == SEEK_CUR ? t.pos_ + size_t(offset)
                                      : t.data_.size() + size_t(offset);
        return t.pos_;
    }
    static int Close(thandle_t) { return 0; }
    static toff_t Size(thandle_t h) { return Self(h).data_.size(); }
    static int Map(thandle_t h, void** base, toff_t* size) {
        *base = Self(h).data_.data();
        *size = Self(h).data_.size();
        return 1;
    }
    static void Unmap(thandle_t, void*, toff_t) {}

    Bytes data_;
    size_t pos_ = 0;
    TIFF* tiff_ = nullptr;
};

// Our decoder on the single strip of `tiff`, checked against libtiff's decode of it.
void OursTiff(benchmark::State& state, const TMemoryTiff& tiff, TDecoder& decoder) {
    const Bytes strip = tiff.RawStrip();
    Bytes out(tiff.StripSize(), 0);
    Bytes reference(out.size(), 0);
    TIFFReadEncodedStrip(tiff.Handle(), 0, reference.data(), tmsize_t(reference.size()));
    for (auto _ : state) {
        const uint8_t* input = strip.data();
        uint8_t* output = out.data();
        decoder.Decode(input, output, int32_t(strip.size()), int32_t(out.size()));
        benchmark::DoNotOptimize(out.data());
    }
    if (out != reference) state.SkipWithError("output differs from libtiff's");
    state.SetBytesProcessed(int64_t(state.iterations() * out.size()));
}

template <class TDecoderClass> void OursTiff(benchmark::State& state, const std::string& name) {
    TMemoryTiff tiff(name);
    TDecoderClass decoder;
    OursTiff(state, tiff, decoder);
}

// The fax decoder for the file, made as the TIFF reader makes it.
void OursFax(benchmark::State& state, const std::string& name) {
    TMemoryTiff tiff(name);
    uint32_t width = 0, options = 0;
    uint16_t compression = 0, fillOrder = FILLORDER_MSB2LSB;
    TIFFGetField(tiff.Handle(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.Handle(), TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tiff.Handle(), TIFFTAG_GROUP3OPTIONS, &options);
    TIFFGetField(tiff.Handle(), TIFFTAG_FILLORDER, &fillOrder);
    const bool reverse = fillOrder == FILLORDER_LSB2MSB;
    std::unique_ptr<TDecoder> decoder;
    if (compression == COMPRESSION_CCITTFAX4)
        decoder = std::make_unique<TCCITTFax4Decoder>(reverse, width);
    else
        decoder = std::make_unique<TCCITTFax3TwoDDecoder>(options, reverse, width);
    OursTiff(state, tiff, *decoder);
}

void LibTiff(benchmark::State& state, const std::string& name) {
    TMemoryTiff tiff(name);
    Bytes out(tiff.StripSize(), 0);
    for (auto _ : state) {
        if (TIFFReadEncodedStrip(tiff.Handle(), 0, out.data(), tmsize_t(out.size())) < 0)
            state.SkipWithError("libtiff failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * out.size()));
}

// The first image of a GIF file: where its data sub-blocks start, its size and its minimum
// code size.
struct TGifImage {
    Bytes file;
    size_t dataStart = 0;
    size_t pixels = 0;
    uint8_t minimumCodeSize = 0;
};

TGifImage LoadGif(const std::string& name) {
    TGifImage g{ReadFile(name)};
    const Bytes& f = g.file;
    size_t p = 13;
    if (f.at(10) & 0x80) p += 3u << ((f[10] & 7) + 1);
    while (f.at(p) == 0x21) {
        p += 2;
        while (f.at(p)) p += f[p] + 1u;
        ++p;
    }
    g.pixels = size_t(f.at(p + 5) | (f.at(p + 6) << 8)) * size_t(f.at(p + 7) | (f.at(p + 8) << 8));
    const uint8_t flags = f.at(p + 9);
    p += 10;
    if (flags & 0x80) p += 3u << ((flags & 7) + 1);
    g.minimumCodeSize = f.at(p);
    g.dataStart = p + 1;
    return g;
}

bool GiflibDecode(const TGifImage& gif, Bytes& out);

// Gathers the sub-blocks into one buffer (as the GIF reader does) and decodes them.
void OursGif(benchmark::State& state, const std::string& name) {
    const TGifImage gif = LoadGif(name);
    Bytes gathered(gif.file.size(), 0);
    Bytes out(gif.pixels, 0);
    for (auto _ : state) {
        const uint8_t* f = gif.file.data();
        size_t p = gif.dataStart, size = 0;
        while (p < gif.file.size() && f[p] != 0) {
            std::memcpy(gathered.data() + size, f + p + 1, f[p]);
            size += f[p];
            p += f[p] + 1u;
        }
        TGIFLZWDecoder decoder(gif.minimumCodeSize);
        const uint8_t* input = gathered.data();
        uint8_t* output = out.data();
        decoder.Decode(input, output, int32_t(size), int32_t(out.size()));
        benchmark::DoNotOptimize(out.data());
    }
    Bytes reference(out.size(), 0);
    if (!GiflibDecode(gif, reference) || out != reference)
        state.SkipWithError("output differs from giflib's");
    state.SetBytesProcessed(int64_t(state.iterations() * out.size()));
}

struct TGifSource {
    const Bytes* data;
    size_t pos;
};

int ReadGif(GifFileType* gif, GifByteType* buffer, int size) {
    auto* source = static_cast<TGifSource*>(gif->UserData);
    const size_t n = std::min(size_t(size), source->data->size() - source->pos);
    std::memcpy(buffer, source->data->data() + source->pos, n);
    source->pos += n;
    return int(n);
}

// giflib: opens the file from memory and reads the first image line by line into `out`.
bool GiflibDecode(const TGifImage& gif, Bytes& out) {
    TGifSource source{&gif.file, 0};
    int error = 0;
    GifFileType* file = DGifOpen(&source, ReadGif, &error);
    if (!file) return false;
    GifRecordType type;
    bool done = false;
    while (!done && DGifGetRecordType(file, &type) == GIF_OK) {
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageDesc(file) != GIF_OK) break;
            const int width = file->Image.Width;
            for (int y = 0; y < file->Image.Height; ++y)
                DGifGetLine(file, out.data() + size_t(y) * size_t(width), width);
            done = true;
        } else if (type == EXTENSION_RECORD_TYPE) {
            int code;
            GifByteType* ext;
            DGifGetExtension(file, &code, &ext);
            while (ext) DGifGetExtensionNext(file, &ext);
        } else {
            break;
        }
    }
    DGifCloseFile(file, &error);
    return done;
}

void Giflib(benchmark::State& state, const std::string& name) {
    const TGifImage gif = LoadGif(name);
    Bytes out(gif.pixels, 0);
    for (auto _ : state) {
        if (!GiflibDecode(gif, out)) state.SkipWithError("giflib failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations() * out.size()));
}

void OursPackBits(benchmark::State& state, const std::string& name) {
    OursTiff<TPackbitsRLEDecoder>(state, name);
}
void OursTiffLZW(benchmark::State& state, const std::string& name) {
    OursTiff<TTIFFLZWDecoder>(state, name);
}

} // namespace

BENCHMARK_CAPTURE(OursPackBits, PackBits_photo, "photo-packbits.tif");
BENCHMARK_CAPTURE(LibTiff, PackBits_photo, "photo-packbits.tif");
BENCHMARK_CAPTURE(OursPackBits, PackBits_drawing, "drawing-packbits.tif");
BENCHMARK_CAPTURE(LibTiff, PackBits_drawing, "drawing-packbits.tif");
BENCHMARK_CAPTURE(OursTiffLZW, TIFFLZW_photo, "photo-lzw.tif");
BENCHMARK_CAPTURE(LibTiff, TIFFLZW_photo, "photo-lzw.tif");
BENCHMARK_CAPTURE(OursTiffLZW, TIFFLZW_drawing, "drawing-lzw.tif");
BENCHMARK_CAPTURE(LibTiff, TIFFLZW_drawing, "drawing-lzw.tif");
BENCHMARK_CAPTURE(OursGif, GIFLZW_photo, "photo.gif");
BENCHMARK_CAPTURE(Giflib, GIFLZW_photo, "photo.gif");
BENCHMARK_CAPTURE(OursGif, GIFLZW_drawing, "drawing.gif");
BENCHMARK_CAPTURE(Giflib, GIFLZW_drawing, "drawing.gif");
BENCHMARK_CAPTURE(OursFax, Fax4_page, "page-g4.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LibTiff, Fax4_page, "page-g4.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursFax, Fax3TwoD_page, "page-g32d.tif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LibTiff, Fax3TwoD_page, "page-g32d.tif")->Unit(benchmark::kMillisecond);
