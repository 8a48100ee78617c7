#include "FormatTestSupport.h"

#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace formats_test {

std::string DataPath(const std::string& relative) {
    return std::string(CHRONOLITH_TEST_DATA) + "/formats/" + relative;
}

std::vector<std::string> DataFiles(const std::string& folder, const std::string& extension) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(DataPath(folder))) {
        const std::string name = entry.path().filename().string();
        if (name.size() > extension.size() &&
            name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

size_t ForEachFile(const std::string& folder, const std::string& extension,
                   const std::function<void(const std::string&, const Bytes&)>& check) {
    const std::vector<std::string> names = DataFiles(folder, extension);
    for (const std::string& name : names) check(name, ReadFile(DataPath(folder + "/" + name)));
    return names.size();
}

long PeakResidentKB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes ReadGzipFile(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (!file) throw std::runtime_error("cannot open " + path);
    Bytes data;
    uint8_t buffer[1 << 15];
    int n;
    while ((n = gzread(file, buffer, sizeof(buffer))) > 0)
        data.insert(data.end(), buffer, buffer + n);
    gzclose(file);
    return data;
}

TReference ReadReference(const std::string& path) {
    const Bytes data = ReadGzipFile(path);
    if (data.size() < 12 || std::string(data.begin(), data.begin() + 4) != "RGBA")
        throw std::runtime_error("bad reference " + path);
    auto le32 = [&](size_t at) {
        return int32_t(data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) |
                       (data[at + 3] << 24));
    };
    TReference reference{le32(4), le32(8), Bytes(data.begin() + 12, data.end())};
    if (reference.Pixels.size() != size_t(reference.Width) * size_t(reference.Height) * 4)
        throw std::runtime_error("bad reference size " + path);
    return reference;
}

std::string CompareWithReference(const TBitmap& bitmap, const TReference& reference) {
    if (bitmap.Width() != reference.Width || bitmap.Height() != reference.Height) {
        std::ostringstream out;
        out << "size " << bitmap.Width() << "x" << bitmap.Height() << ", expected "
            << reference.Width << "x" << reference.Height;
        return out.str();
    }
    std::ostringstream first;
    size_t differing = 0;
    for (int32_t y = 0; y < reference.Height; ++y) {
        for (int32_t x = 0; x < reference.Width; ++x) {
            const TRGBQuad got = bitmap.PixelColor(x, y);
            const uint8_t* want = &reference.Pixels[(size_t(y) * reference.Width + x) * 4];
            if (got.rgbRed == want[0] && got.rgbGreen == want[1] && got.rgbBlue == want[2] &&
                got.rgbReserved == want[3])
                continue;
            if (differing++ == 0) {
                first << "pixel (" << x << ", " << y << ") is " << int(got.rgbRed) << ","
                      << int(got.rgbGreen) << "," << int(got.rgbBlue) << "," << int(got.rgbReserved)
                      << ", expected " << int(want[0]) << "," << int(want[1]) << "," << int(want[2])
                      << "," << int(want[3]);
            }
        }
    }
    if (differing == 0) return {};
    return first.str() + " (" + std::to_string(differing) + " pixels differ)";
}

void PutBE32(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

void PutLE16(Bytes& out, uint16_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

Bytes Deflate(const Bytes& data) {
    uLongf size = compressBound(uLong(data.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, data.data(), uLong(data.size()), 9) != Z_OK)
        throw std::runtime_error("compress failed");
    out.resize(size);
    return out;
}

Bytes DeflateUnfinished(const Bytes& data) {
    z_stream stream{};
    if (deflateInit(&stream, 9) != Z_OK) throw std::runtime_error("deflateInit failed");
    Bytes out(data.size() + 64);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = uInt(data.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_SYNC_FLUSH);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    return out;
}

Bytes PngChunk(const char* type, const Bytes& data) {
    Bytes out;
    PutBE32(out, uint32_t(data.size()));
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (!data.empty()) crc = crc32(crc, data.data(), uInt(data.size()));
    PutBE32(out, uint32_t(crc));
    return out;
}

Bytes PngHeaderData(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType,
                    uint8_t interlace, uint8_t compression) {
    Bytes out;
    PutBE32(out, width);
    PutBE32(out, height);
    out.insert(out.end(), {depth, colorType, compression, 0, interlace});
    return out;
}

Bytes PngFile(const std::vector<Bytes>& chunks) {
    Bytes out = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    for (const Bytes& chunk : chunks) out.insert(out.end(), chunk.begin(), chunk.end());
    return out;
}

} // namespace formats_test
