// The common base of the image readers: a bitmap that fills itself from a stream of its format.
//
// Writing a reader
// ----------------
// One reader per format, in imaging/formats/XxxGraphic.{h,cpp}. Copy the reader nearest in kind:
// TAutodeskGraphic for a small format, TPNGGraphic for a chunked one, TTIFFGraphic for a large
// one. The class derives from TImageGraphic, declares DECLARE_GRAPHIC_CLASS() (and
// DEFINE_GRAPHIC_CLASS(TXxxGraphic, TImageGraphic) in the .cpp) and provides:
//
//   static bool Recognize(TStream& stream);    // from the stream's position; restores it
//   bool ReadImageHeader(TStream& stream, uint32_t index) override;
//   void DecodeImage(TStream& stream) override;
//
// The header holds no per-load state: no member fields a load would have to reset. The .cpp
// is laid out in this order:
//
// 1. The messages the reader raises, listed in a comment at the top: texts of
//    platform/graphics/ImageMessages.h only (new texts go into the table, naming the format
//    through their first %s and saying what was wrong). An obscure format names, above its
//    header struct, the public description it follows.
// 2. The format's values as named enums (enum class TXxxColorType : uint8_t { ... }), never
//    bare case 0/2/3 numbers.
// 3. The header as a struct, parsed by one pure function over a TByteReader that carries every
//    validity check, and read once per use: by Recognize (RecognizeHeader peeks the bytes), by
//    ReadImageHeader and by the load (ReadHeaderBytes reads them), so the three never disagree:
//
//      constexpr size_t HeaderSize = 18;
//      struct TXxxHeader { uint16_t Width; ... };
//      // The header, or nothing when the bytes are not this format's.
//      std::optional<TXxxHeader> ParseHeader(TByteReader& reader);
//      // Reads it at the stream's position and fills the properties from it.
//      std::optional<TXxxHeader> ReadHeader(TStream& stream, TImageProperties& properties);
//
//      bool TXxxGraphic::Recognize(TStream& stream) {
//          return RecognizeHeader<HeaderSize>(stream, ParseHeader);
//      }
//      bool TXxxGraphic::ReadImageHeader(TStream& stream, uint32_t index) {
//          TImageGraphic::ReadImageHeader(stream, index);   // the reset
//          return ReadHeader(stream, ImageProperties).has_value();
//      }
//
//    Integers are read through TByteReader (LE16, BE32, U32(bigEndian), ...) or the load
//    (load.LE16(), load.BE32(), ...), never by shifts of raw bytes or local lambdas.
// 4. The state of one load in a context struct inside the .cpp (struct TXxxLoad { ... }),
//    built in DecodeImage after the TLoad and dropped with it: the header, buffers, decoder,
//    chunk or strip tables, the colours found so far, with one small method per step (a chunk
//    or block kind each, the palette, the rows); no function longer than about 80 lines.
// 5. DecodeImage, which follows the load contract through the TLoad:
//
//      void TXxxGraphic::DecodeImage(TStream& stream) {
//          std::optional<TXxxHeader> header;
//          TLoad load(*this, stream, FormatName,     // a clean state, the budget, the header
//                     [&] { return (header = ReadHeader(stream, ImageProperties)).has_value(); });
//          TXxxLoad(*this, load, *header).Run();
//      }
//      void TXxxLoad::Run() {
//          Load.Prepare();                         // "Preparing..."
//          Colors.SetSourceModel(...);             // every setting the rows depend on
//          Image.SetPixelFormat(Colors.TargetPixelFormat());
//          const size_t rowBytes = CheckedRowBytes(width, bitsPerPixel);
//          Load.RequireBytes(CheckedMul(rowBytes, height));  // stored rows: all of them
//          // compressed rows: Load.RequireExpansion(CheckedMul(rowBytes, height), ratio);
//          Image.SetSize(width, height);           // charged to the load's budget
//          TBudgetVector<uint8_t> row = Load.Buffer(rowBytes);   // charged, freed on exit
//          TDecoderSession decoder(std::make_unique<TXxxDecoder>());
//          Load.BeginTransfer();                   // "Transfering..."
//          for (int32_t y = 0; y < height; ++y) {
//              Load.Read(row.data(), rowBytes);    // or decode into row
//              Colors.ConvertRows(row.Span(), Image.ScanLineSpan(y), width);
//              Load.Row(y);                        // cheap when nobody listens
//          }
//          decoder.Finish();
//          Load.Finish();                          // ending event
//      }
//
// Rules of a load:
// - Every byte is untrusted. Every size goes through CheckedMul / CheckedAdd /
//   CheckedRowBytes; every read through TByteReader, load.Read / load.ReadBlock / load.LE32()
//   and the like (which check the stream holds the bytes before a buffer grows) or
//   TStream::ReadBuffer.
// - A block whose stated length must fit in its container and in the file is checked with
//   load.RequireWithin / load.RequirePart, which name it in the message.
// - Every buffer sized from the file is a TBudgetVector from load.Buffer (or over
//   load.Budget()), so it is charged to the load's budget before it is allocated; the bitmap
//   charges its own pixels. Before SetSize, check what the file can hold: RequireBytes for
//   stored data, RequireExpansion with the format's largest expansion ratio for compressed
//   data; tables of offsets are checked against load.Remaining() before they are read.
// - Rows reach the bitmap through ColorEngine->ConvertRows with the rows' extents (spans),
//   or a copy bounded by ScanLineSpan(y). A failed load never fills rows it did not decode.
// - Failures raise through load.Fail(message, ...) with a message of the table, and what the
//   reader cannot show through load.Unsupported(what); the shared helpers raise EImageFault,
//   which LoadFromStream names with the format.
//
// Readers that leave the bitmap empty on an unrecognised header pass hcLeaveEmpty and return
// when load.HeaderValid() is false. Readers with more phases call load.Start(msgLoadingData)
// (or msgUpsampling) and load.Finish() around each. A format that states a gamma calls
// ApplySourceGamma after configuring ColorEngine's sample depths. A failed load fires no
// ending event; the TLoad and TDecoderSession tidy up as the exception passes.
//
// Class-level recognition goes through the class reference, e.g.
// TImageGraphic::Recognize(TMyGraphic::ClassRef(), fileName).
//
// Tests of a reader use the helpers of tests/formats/FormatTestSupport.h (Load<T>,
// Recognized<T>, LoadError<T>, CompareFolder<T> over fixture files with references).
#pragma once

#include "imaging/ColorManager.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/ByteSet.h"
#include "platform/graphics/Graphic.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Stream.h"

#include "platform/graphics/Checked.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class TDecoder;

// One layout flag of an image; the value is the flag's bit in a TImageFlags byte.
enum TImageFlag : uint8_t {
    flTiled = 1 << 0,          // stored in tiles
    flBigEndian = 1 << 1,      // multi-byte values are big-endian
    flWhiteIsZero = 1 << 2,    // grey or bilevel data where 0 is white
    flLowBitFirst = 1 << 3,    // bits are packed least significant first
    flGammaCorrected = 1 << 4, // the loader applied SourceGamma through the colour manager
};

// A set of TImageFlag values, held in one byte.
using TImageFlags = TByteSet<TImageFlag>;

constexpr TImageFlags operator|(TImageFlag a, TImageFlag b) {
    return TImageFlags(a) | TImageFlags(b);
}

// Compression of the image data.
enum TCompressionKind : uint8_t {
    ckUnknown = 0,         // not known or not supported
    ckNone = 1,            // uncompressed
    ckRunLength = 2,       // the format's own run-length scheme
    ckPackBits = 3,        // TIFF 32773
    ckLZW = 4,             // TIFF 5, GIF
    ckFax3 = 5,            // CCITT Group 3 (TIFF 3)
    ckFaxHuffman = 6,      // CCITT modified Huffman run length (TIFF 2)
    ckFax4 = 7,            // CCITT Group 4 (TIFF 4)
    ckFaxHuffmanWord = 8,  // modified Huffman, word aligned (TIFF 32771)
    ckDeflate = 9,         // TIFF 8 and 32946, PNG, Paintshop Pro
    ckJPEG = 10,           // TIFF 7, Paintshop Pro
    ckOldJPEG = 11,        // old-style JPEG (TIFF 6)
    ckThunderscan = 12,    // TIFF 32809
    ckNeXT = 13,           // TIFF 32766
    ckIT8CTPad = 14,       // TIFF 32895
    ckIT8LW = 15,          // TIFF 32896
    ckIT8MP = 16,          // TIFF 32897
    ckIT8BL = 17,          // TIFF 32898
    ckPixarFilm = 18,      // TIFF 32908
    ckPixarLog = 19,       // TIFF 32909
    ckKodakDCS = 20,       // TIFF 32947
    ckJBIG = 21,           // TIFF 34661
    ckPhotoCDHuffman = 22, // Photo-CD Huffman-coded resolutions
};

using TCardinalArray = std::vector<uint32_t>;
using TByteArray = std::vector<uint8_t>;

// What a reader learns from a file's header. Fields a format does not use stay 0 (false,
// empty); SourceGamma is 1.0 unless the file states a gamma.
struct TImageProperties {
    uint32_t Version = 0; // as stated in the file: TIFF 42, GIF 87 or 89, PSP major version
    TImageFlags Flags;
    uint32_t Width = 0;
    uint32_t Height = 0;
    TColorModel ColorModel{}; // of the stored samples
    uint8_t BitsPerSample = 0;
    uint8_t SamplesPerPixel = 0;
    uint8_t BitsPerPixel = 0; // BitsPerSample x SamplesPerPixel
    TCompressionKind Compression = ckUnknown;
    float SourceGamma = 1.0f;
    float XResolution = 0; // dots per inch
    float YResolution = 0;
    bool Interlaced = false;
    bool HasAlpha = false;
    uint32_t FirstIFD = 0;     // TIFF: offset of the first directory
    uint32_t PlanarConfig = 0; // TIFF tag 284
    uint32_t CurrentRow = 0;   // TIFF: rows converted so far during a load
    uint32_t TileWidth = 0;    // TIFF tag 322
    uint32_t TileLength = 0;   // TIFF tag 323
    uint32_t BytesPerRow = 0;  // TIFF: bytes of one stored row
    TCardinalArray RowsPerStrip;
    TByteArray YCbCrSubSampling;
    TByteArray JPEGTables;
    uint32_t JPEGColorMode = 0;  // TIFF pseudo-tag 65538
    uint32_t JPEGTablesMode = 0; // TIFF pseudo-tag 65539
    uint32_t CurrentStrip = 0;   // TIFF: strip being decoded
    uint32_t StripCount = 0;
    uint32_t Predictor = 0; // TIFF tag 317
    // TIFF/EXIF orientation as the file states it, 1 (rows top to bottom, columns left to
    // right) to 8; 0 when the file states none. Readers record it; callers that show the
    // picture upright apply it (UprightCopy, UprightImage).
    uint8_t Orientation = 0;
    bool Overview = false; // Photo-CD: overview pack
    uint8_t Rotation = 0;  // Photo-CD: quarter turns, 0-3
    uint16_t ImageCount = 0;
    bool LocalColorMap = false; // GIF: the image has its own colour table
    bool BottomUp = false;      // Alias/Wavefront: rows stored bottom-up
    uint8_t Channels = 0;       // Photoshop: channel count as stored
    uint8_t FilterMode = 0;     // PNG: filter method
};

// What a load does when the reader does not recognise the header.
enum THeaderCheck : uint8_t {
    hcRaise,      // raise EInvalidGraphic with msgInvalidImage and the format's short name
    hcLeaveEmpty, // leave the bitmap empty; the reader returns
};

class TImageGraphic : public TBitmap {
public:
    TImageGraphic();
    ~TImageGraphic() override;
    DECLARE_GRAPHIC_CLASS()

    // Class-level recognition. The base recognises nothing; a reader hides this with its own.
    static bool Recognize(TStream& stream);
    // Whether the stream, from its position, holds `imageClass`'s format. The position is
    // restored whatever the class does; a read error answers false.
    static bool Recognize(TGraphicClass imageClass, TStream& stream);
    // The same for a file, opened for reading with other writers denied and closed before
    // answering; a file that cannot be opened answers false.
    static bool Recognize(TGraphicClass imageClass, const std::string& fileName);

    // Resets ImageProperties and answers false. Readers call it first, then fill the
    // properties of image number `index` (0 for the first) and answer whether they are valid.
    virtual bool ReadImageHeader(TStream& stream, uint32_t index);

    // Loading and saving: LoadFromStream runs DecodeImage, SaveToStream EncodeImage. The base
    // keeps the bitmap's behaviour.
    virtual void DecodeImage(TStream& stream);
    virtual void EncodeImage(TStream& stream);
    // Errors of the shared helpers leave it named with the format of the load that met them,
    // and a stream that ends early reads msgStreamReadError.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override { EncodeImage(stream); }

    // Copies the image properties of another image graphic, then the pixels of any bitmap.
    void Assign(const TGraphic& source) override;
    uint8_t Orientation() const override { return ImageProperties.Orientation; }
    // The stored size the header states (the loaded size before any load).
    int32_t FullWidth() const override;
    int32_t FullHeight() const override;

    // Properties of the image being (or last) read.
    TImageProperties ImageProperties;

    // One load of an image (below); readers and the helpers in their .cpp files use it.
    class TLoad;

protected:
    // Reads up to buffer.size() bytes from the stream's position into `buffer` and restores
    // the position; answers how many were read. For Recognize.
    static size_t PeekBytes(TStream& stream, std::span<uint8_t> buffer);

    // The gamma step of a load: the colour manager corrects from `fileGamma` to the display's
    // 2.2, and the properties record that it did. The gamma table is built for the sample
    // depths set (set them first), or over `tableBits` bits at both ends when given.
    void ApplySourceGamma(float fileGamma, uint8_t tableBits = 0);

    // Converts rows into the bitmap's layout; configured for each load.
    std::unique_ptr<TColorManager> ColorEngine;
    // Stream position at which the current image begins; reader seeks are relative to it.
    int64_t StreamStart = 0;
    // The stream being decoded, during DecodeImage only (not owned).
    TStream* SourceStream = nullptr;
    // The area reported with each progress event.
    TRect ProgressBounds;

private:
    // Short name of the format of the last load begun, for the errors that leave it.
    const char* loadFormat_ = nullptr;
};

// One load of an image: the steps every reader's DecodeImage shares. Construct it first thing
// in DecodeImage; its destruction forgets the stream however the load ends.
//
// A load starts from a known state: no image, no palette, no transparency, no conversion
// flags. It owns the memory budget of the load (TBitmap::MaxPixelBytes): the bitmap's pixels
// are charged to it while the load lives, and so is every buffer the reader sizes from the
// file (TBudgetVector over Budget()).
class TImageGraphic::TLoad {
public:
    // Releases the bitmap's image, records StreamStart and SourceStream and reads the header
    // of image `index` through the reader's ReadImageHeader. An invalid header raises
    // EInvalidGraphic with msgInvalidImage formatted with `formatName`, or with hcLeaveEmpty
    // makes HeaderValid() answer false.
    TLoad(TImageGraphic& image, TStream& stream, const char* formatName,
          THeaderCheck check = hcRaise, uint32_t index = 0);
    // The same, but the header is read by `readHeader` in place of ReadImageHeader: the
    // reader's own header read, which fills ImageProperties as ReadImageHeader does and keeps
    // the parsed header for the load, so that a load reads its header once. It answers whether
    // the header is valid; ImageProperties are reset before it runs.
    TLoad(TImageGraphic& image, TStream& stream, const char* formatName,
          const std::function<bool()>& readHeader, THeaderCheck check = hcRaise);
    ~TLoad();
    TLoad(const TLoad&) = delete;
    TLoad& operator=(const TLoad&) = delete;

    bool HeaderValid() const { return valid_; }
    const char* FormatName() const { return formatName_; }
    TStream& Stream() const { return *image_.SourceStream; }

    // Positions the stream `offset` bytes after the start of the image.
    void Seek(int64_t offset);

    // Raises EInvalidGraphic with a message of the table formatted with the format's name and
    // the further arguments.
    template <class... TArgs>
    [[noreturn]] void Fail(const char* message, const TArgs&... args) const {
        throw EInvalidGraphic(FormatImageMessage(message, formatName_, args...));
    }
    // Raises msgUnsupportedFeature: `what` (msgCompressionScheme, ...) is not supported for
    // the format's files.
    [[noreturn]] void Unsupported(const char* what) const;

    // --- Memory and data ---

    TMemoryBudget& Budget() { return budget_; }
    // A zeroed buffer of `count` elements charged to the budget.
    template <class T = uint8_t> TBudgetVector<T> Buffer(size_t count) {
        return TBudgetVector<T>(budget_, count);
    }
    // Bytes between the stream's position and its end.
    uint64_t Remaining() const;
    // Raises msgUnexpectedEnd unless the stream holds `count` more bytes from its position.
    void RequireBytes(uint64_t count) const;
    // Raises msgDataTooShort unless the rest of the stream, expanded at most `ratio` times (the
    // most the format's compression can expand data), can hold `needed` bytes. Readers call it
    // before sizing the bitmap from a header, so that a small file cannot claim a huge image.
    void RequireExpansion(uint64_t needed, uint64_t ratio) const;
    // The same for `stored` bytes of data already read.
    void RequireExpansion(uint64_t needed, uint64_t ratio, uint64_t stored) const;
    // Reads `count` bytes from the stream into `buffer`, resized to them, after checking that
    // the stream holds them (the buffer never grows beyond the file).
    void ReadBlock(TBudgetVector<uint8_t>& buffer, size_t count);
    // Reads `count` bytes into memory the caller holds, after the same check.
    void Read(void* buffer, size_t count);
    // The bytes a load may read in all: ReadFactor times the image's bytes in the stream, and
    // a little more for small files. Read, ReadBlock and the typed reads count what they read;
    // a reader that reads file data another way (in place from memory, through a decoder)
    // counts it with ChargeRead. Past the limit the load raises msgReadLimit, so that blocks
    // sharing one offset cannot make a load's work grow beyond the file's size.
    static constexpr uint64_t ReadFactor = 16;
    static constexpr uint64_t ReadAllowance = uint64_t(1) << 20;
    void ChargeRead(uint64_t bytes);
    uint64_t BytesRead() const { return readBytes_; }

    // Raises msgTruncatedPart naming `part` unless the stream holds `length` more bytes.
    void RequirePart(uint64_t length, const char* part) const;
    // Raises msgPartOverruns naming `part` and `container` unless `length` fits in the `room`
    // bytes the container has left; then checks the stream holds them (RequirePart).
    void RequireWithin(uint64_t length, uint64_t room, const char* part,
                       const char* container) const;

    // Integers read from the stream's position, after checking that it holds them
    // (msgUnexpectedEnd).
    uint8_t U8();
    uint16_t LE16() { return ReadInteger<2>().LE16(); }
    uint16_t BE16() { return ReadInteger<2>().BE16(); }
    uint32_t LE32() { return ReadInteger<4>().LE32(); }
    uint32_t BE32() { return ReadInteger<4>().BE32(); }
    uint64_t LE64() { return ReadInteger<8>().LE64(); }
    uint64_t BE64() { return ReadInteger<8>().BE64(); }
    // In the byte order the file states.
    uint16_t U16(bool bigEndian) { return bigEndian ? BE16() : LE16(); }
    uint32_t U32(bool bigEndian) { return bigEndian ? BE32() : LE32(); }

    // --- Progress ---

    // Prepare reports the first phase ("Preparing..."), BeginTransfer the phase that
    // fills the rows ("Transfering..."); both first set ProgressBounds to the first row of the
    // bitmap as it is sized at that moment. Start reports another phase (msgLoadingData,
    // msgUpsampling), Finish ends a phase.
    void Prepare();
    void BeginTransfer();
    void Start(const char* message);
    void Finish();
    // Row y of the bitmap is done: reports y x 100 / Height percent with the row's bounds and
    // moves ProgressBounds down one row.
    void Row(int32_t y) {
        if (image_.OnProgress) RowEvent(y);
        ++image_.ProgressBounds.Top;
        ++image_.ProgressBounds.Bottom;
    }
    // A running event of `done` out of `total` steps, rounded to the nearest percent.
    void Running(uint64_t done, uint64_t total);

private:
    // The clean state without a header read; the public constructors go on from it.
    struct TCleanState {};
    TLoad(TImageGraphic& image, TStream& stream, const char* formatName, TCleanState);
    void RowEvent(int32_t y);
    void FirstRowBounds();
    void ReadHeaderOrFail(const std::function<bool()>& readHeader, THeaderCheck check);
    // A reader over `Size` bytes read from the stream, which the returned reader holds.
    template <size_t Size> struct TInteger {
        std::array<uint8_t, Size> Bytes;
        uint16_t LE16() const { return TByteReader(Bytes.data(), Size).LE16(); }
        uint16_t BE16() const { return TByteReader(Bytes.data(), Size).BE16(); }
        uint32_t LE32() const { return TByteReader(Bytes.data(), Size).LE32(); }
        uint32_t BE32() const { return TByteReader(Bytes.data(), Size).BE32(); }
        uint64_t LE64() const { return TByteReader(Bytes.data(), Size).LE64(); }
        uint64_t BE64() const { return TByteReader(Bytes.data(), Size).BE64(); }
    };
    template <size_t Size> TInteger<Size> ReadInteger() {
        TInteger<Size> value;
        Read(value.Bytes.data(), Size);
        return value;
    }

    TImageGraphic& image_;
    const char* formatName_;
    TMemoryBudget budget_;
    bool valid_ = false;
    uint64_t readBytes_ = 0;
    uint64_t readLimit_ = 0;
    int exceptions_ = 0; // exceptions in flight when the load began
};

// For the readers: a header of `Size` bytes read from the stream's position and given to `parse`
// (the reader's ParseHeader: a function of a TByteReader answering a std::optional header): its
// answer, or nothing when the stream ends first or the parse reads past the bytes.
template <size_t Size, class TParse> auto ReadHeaderBytes(TStream& stream, TParse&& parse) {
    std::array<uint8_t, Size> bytes;
    using THeader = decltype(parse(std::declval<TByteReader&>()));
    if (stream.Read(bytes.data(), Size) != Size) return THeader();
    TByteReader reader(bytes.data(), Size);
    try {
        return parse(reader);
    } catch (const EImageFault&) {
        return THeader();
    }
}
// Class-level recognition by the same parse: whether ReadHeaderBytes would answer a header.
// The position is restored.
template <size_t Size, class TParse> bool RecognizeHeader(TStream& stream, TParse&& parse) {
    const int64_t start = stream.Position();
    const bool recognized = ReadHeaderBytes<Size>(stream, parse).has_value();
    stream.SetPosition(start);
    return recognized;
}

// Drives one decoder through a load: BeginDecoding when the session starts, EndDecoding and
// freeing when it ends, also when the load leaves early. A session without a decoder (stored
// data) does nothing.
class TDecoderSession {
public:
    explicit TDecoderSession(std::unique_ptr<TDecoder> decoder);
    ~TDecoderSession();
    TDecoderSession(const TDecoderSession&) = delete;
    TDecoderSession& operator=(const TDecoderSession&) = delete;

    explicit operator bool() const { return decoder_ != nullptr; }
    TDecoder& operator*() const { return *decoder_; }
    TDecoder* operator->() const { return decoder_.get(); }
    TDecoder* Get() const { return decoder_.get(); }

    // Ends decoding on the normal path, where an error of EndDecoding is reported.
    void Finish();

private:
    std::unique_ptr<TDecoder> decoder_;
};

// Raises EInvalidGraphic with `message`.
[[noreturn]] void ImageError(const std::string& message);
// Raises EInvalidGraphic with a printf-style formatted message.
[[noreturn]] void ImageErrorFmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reverses the byte order of `count` 16-bit values in place (any alignment).
void SwapShorts(void* data, size_t count);
// Reverses the byte order of `count` 32-bit values in place (any alignment).
void SwapLongs(void* data, size_t count);
// One 32-bit value with its byte order reversed.
constexpr uint32_t SwapLong(uint32_t value) {
    return __builtin_bswap32(value);
}
