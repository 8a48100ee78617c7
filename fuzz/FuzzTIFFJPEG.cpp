// The JPEG-in-TIFF decoder on arbitrary data: a header gives the image properties and the
// length of the tables block; the rest is the tables and one strip.
#include "imaging/ColorManager.h"
#include "imaging/ImageGraphic.h"
#include "imaging/codecs/TIFFJPEGDecoder.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Warning.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        SetWarningHandler([](const std::string&, const std::string&) {});
        return true;
    }();
    (void)quiet;
    if (size < 8) return 0;
    TImageProperties p;
    p.Width = 1 + data[0] % 128;
    p.Height = 1 + data[1] % 128;
    p.SamplesPerPixel = (data[2] & 3) + 1;
    p.BitsPerSample = data[2] & 4 ? 12 : 8;
    p.PlanarConfig = (data[2] >> 3) & 3;
    p.ColorModel = data[2] & 0x20 ? cmYCbCr : cmRGB;
    if (data[2] & 0x40)
        p.YCbCrSubSampling = {uint8_t(1 + (data[3] & 3)), uint8_t(1 + (data[3] >> 2 & 3))};
    p.RowsPerStrip = {1u + data[4] % 128};
    p.CurrentRow = data[5] % 128;
    p.BitsPerPixel = static_cast<uint8_t>(p.BitsPerSample * p.SamplesPerPixel);
    p.BytesPerRow = (p.BitsPerPixel * p.Width + 7) / 8 + (data[3] >> 7);
    const size_t tables = std::min<size_t>(data[6] * 4, size - 8);
    p.JPEGTables.assign(data + 8, data + 8 + tables);
    const std::vector<uint8_t> strip(data + 8 + tables, data + size);
    std::vector<uint8_t> output(size_t(p.RowsPerStrip[0]) * p.BytesPerRow - (data[7] & 1));

    TTIFFJPEGDecoder decoder(p);
    try {
        decoder.BeginDecoding();
        const uint8_t* in = strip.data();
        uint8_t* out = output.data();
        decoder.Decode(in, out, static_cast<int32_t>(strip.size()),
                       static_cast<int32_t>(output.size()));
    } catch (const Exception&) {
    }
    decoder.EndDecoding();
    return 0;
}
