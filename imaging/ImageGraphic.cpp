#include "imaging/ImageGraphic.h"

#include "imaging/codecs/Decoder.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <cstdarg>
#include <exception>

DEFINE_GRAPHIC_CLASS(TImageGraphic, TBitmap)

TImageGraphic::TImageGraphic() : ColorEngine(std::make_unique<TColorManager>()) {}

TImageGraphic::~TImageGraphic() = default;

bool TImageGraphic::Recognize(TStream&) {
    return false;
}

bool TImageGraphic::Recognize(TGraphicClass imageClass, TStream& stream) {
    if (!imageClass || !imageClass->RecognizeStream) return false;
    const int64_t position = stream.Position();
    bool answer = false;
    try {
        answer = imageClass->RecognizeStream(stream);
    } catch (const Exception&) {
        answer = false;
    }
    stream.SetPosition(position);
    return answer;
}

bool TImageGraphic::Recognize(TGraphicClass imageClass, const std::string& fileName) {
    return RecognizeFile(imageClass, fileName);
}

size_t TImageGraphic::PeekBytes(TStream& stream, std::span<uint8_t> buffer) {
    const int64_t start = stream.Position();
    const size_t read = stream.Read(buffer.data(), buffer.size());
    stream.SetPosition(start);
    return read;
}

bool TImageGraphic::ReadImageHeader(TStream&, uint32_t) {
    ImageProperties = TImageProperties{};
    return false;
}

void TImageGraphic::LoadFromStream(TStream& stream) {
    try {
        DecodeImage(stream);
    } catch (EImageFault& fault) {
        if (loadFormat_) fault.NameFormat(loadFormat_);
        throw;
    } catch (const EStreamError&) {
        if (!loadFormat_) throw;
        throw EInvalidGraphic(FormatImageMessage(msgStreamReadError, loadFormat_));
    }
}

void TImageGraphic::DecodeImage(TStream& stream) {
    TBitmap::LoadFromStream(stream);
}

void TImageGraphic::EncodeImage(TStream& stream) {
    TBitmap::SaveToStream(stream);
}

void TImageGraphic::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* image = dynamic_cast<const TImageGraphic*>(&source))
        ImageProperties = image->ImageProperties;
    TBitmap::Assign(source);
}

int32_t TImageGraphic::FullWidth() const {
    return ImageProperties.Width != 0 && ImageProperties.Width <= uint32_t(INT32_MAX)
               ? int32_t(ImageProperties.Width)
               : Width();
}

int32_t TImageGraphic::FullHeight() const {
    return ImageProperties.Height != 0 && ImageProperties.Height <= uint32_t(INT32_MAX)
               ? int32_t(ImageProperties.Height)
               : Height();
}

void TImageGraphic::ApplySourceGamma(float fileGamma, uint8_t tableBits) {
    if (tableBits)
        ColorEngine->SetGammaValues(fileGamma, 2.2f, tableBits, tableBits);
    else
        ColorEngine->SetGammaValues(fileGamma, 2.2f);
    ColorEngine->TargetFlags.Include(cfApplyGamma);
    ImageProperties.Flags.Include(flGammaCorrected);
}

// --- One load ---

TImageGraphic::TLoad::TLoad(TImageGraphic& image, TStream& stream, const char* formatName,
                            THeaderCheck check, uint32_t index)
    : TLoad(image, stream, formatName, TCleanState()) {
    ReadHeaderOrFail([&] { return image_.ReadImageHeader(stream, index); }, check);
}

TImageGraphic::TLoad::TLoad(TImageGraphic& image, TStream& stream, const char* formatName,
                            const std::function<bool()>& readHeader, THeaderCheck check)
    : TLoad(image, stream, formatName, TCleanState()) {
    image_.ImageProperties = TImageProperties{};
    ReadHeaderOrFail(readHeader, check);
}

TImageGraphic::TLoad::TLoad(TImageGraphic& image, TStream& stream, const char* formatName,
                            TCleanState)
    : image_(image), formatName_(formatName), budget_(TBitmap::MaxPixelBytes()),
      exceptions_(std::uncaught_exceptions()) {
    image_.ReleaseImage();
    image_.SetPalette(TPalette());
    image_.Transparent = false;
    image_.TransparentColor = 0;
    image_.AlphaFormat = afIgnored;
    image_.ColorEngine->SourceFlags.Clear();
    image_.ColorEngine->TargetFlags.Clear();
    image_.SetBudget(&budget_);
    image_.loadFormat_ = formatName;
    image_.StreamStart = stream.Position();
    image_.SourceStream = &stream;
    const uint64_t imageBytes = uint64_t(std::max<int64_t>(stream.Size() - image_.StreamStart, 0));
    readLimit_ = imageBytes > (UINT64_MAX - ReadAllowance) / ReadFactor
                     ? UINT64_MAX
                     : imageBytes * ReadFactor + ReadAllowance;
}

void TImageGraphic::TLoad::ReadHeaderOrFail(const std::function<bool()>& readHeader,
                                            THeaderCheck check) {
    // Called once the state is set up: the destructor tidies up after a throw.
    valid_ = readHeader();
    if (!valid_ && check == hcRaise) Fail(msgInvalidImage);
}

TImageGraphic::TLoad::~TLoad() {
    // Pixels a reader meant to overwrite are never shown half written.
    if (std::uncaught_exceptions() > exceptions_ && image_.Uncleared()) image_.ReleaseImage();
    image_.SourceStream = nullptr;
    image_.SetBudget(nullptr);
}

void TImageGraphic::TLoad::Seek(int64_t offset) {
    int64_t position;
    if (__builtin_add_overflow(image_.StreamStart, offset, &position) || position < 0)
        Fail(msgInvalidImage);
    image_.SourceStream->SetPosition(position);
}

uint64_t TImageGraphic::TLoad::Remaining() const {
    return uint64_t(std::max<int64_t>(image_.SourceStream->Remaining(), 0));
}

void TImageGraphic::TLoad::RequireBytes(uint64_t count) const {
    if (count > Remaining()) Fail(msgUnexpectedEnd);
}

void TImageGraphic::TLoad::RequireExpansion(uint64_t needed, uint64_t ratio) const {
    RequireExpansion(needed, ratio, Remaining());
}

void TImageGraphic::TLoad::RequireExpansion(uint64_t needed, uint64_t ratio,
                                            uint64_t stored) const {
    // needed > stored * ratio, without the product overflowing.
    if (ratio == 0 || needed / ratio > stored || (needed / ratio == stored && needed % ratio))
        Fail(msgDataTooShort);
}

void TImageGraphic::TLoad::ChargeRead(uint64_t bytes) {
    if (bytes > readLimit_ - readBytes_) Fail(msgReadLimit, std::to_string(ReadFactor));
    readBytes_ += bytes;
}

void TImageGraphic::TLoad::ReadBlock(TBudgetVector<uint8_t>& buffer, size_t count) {
    RequireBytes(count);
    ChargeRead(count);
    buffer.Resize(count);
    image_.SourceStream->ReadBuffer(buffer.data(), count);
}

void TImageGraphic::TLoad::Read(void* buffer, size_t count) {
    RequireBytes(count);
    ChargeRead(count);
    image_.SourceStream->ReadBuffer(buffer, count);
}

void TImageGraphic::TLoad::RequirePart(uint64_t length, const char* part) const {
    if (length > Remaining()) Fail(msgTruncatedPart, part);
}

void TImageGraphic::TLoad::RequireWithin(uint64_t length, uint64_t room, const char* part,
                                         const char* container) const {
    if (length > room) Fail(msgPartOverruns, part, container);
    RequirePart(length, part);
}

uint8_t TImageGraphic::TLoad::U8() {
    uint8_t value;
    Read(&value, 1);
    return value;
}

void TImageGraphic::TLoad::Unsupported(const char* what) const {
    throw EInvalidGraphic(FormatImageMessage(msgUnsupportedFeature, what, formatName_));
}

void TImageGraphic::TLoad::FirstRowBounds() {
    image_.ProgressBounds = {0, 0, image_.Width(), 1};
}

void TImageGraphic::TLoad::Prepare() {
    FirstRowBounds();
    Start(msgPreparing);
}

void TImageGraphic::TLoad::BeginTransfer() {
    FirstRowBounds();
    Start(msgTransfering);
}

void TImageGraphic::TLoad::Start(const char* message) {
    image_.Progress(psStarting, 0, false, image_.ProgressBounds, message);
}

void TImageGraphic::TLoad::Finish() {
    static const std::string none;
    image_.Progress(psEnding, 0, false, image_.ProgressBounds, none);
}

void TImageGraphic::TLoad::Running(uint64_t done, uint64_t total) {
    static const std::string none;
    uint8_t percent = 100;
    if (done < total) percent = static_cast<uint8_t>((done * 100 + total / 2) / total);
    image_.Progress(psRunning, percent, true, image_.ProgressBounds, none);
}

void TImageGraphic::TLoad::RowEvent(int32_t y) {
    const int32_t height = image_.Height();
    Running(y > 0 ? uint64_t(y) : 0, height > 0 ? uint64_t(height) : 0);
}

// --- Decoders ---

TDecoderSession::TDecoderSession(std::unique_ptr<TDecoder> decoder) : decoder_(std::move(decoder)) {
    if (decoder_) decoder_->BeginDecoding();
}

TDecoderSession::~TDecoderSession() {
    if (!decoder_) return;
    try {
        decoder_->EndDecoding();
    } catch (...) {
        // The load is already failing or finished; its own error is the one to report.
    }
}

void TDecoderSession::Finish() {
    if (!decoder_) return;
    const std::unique_ptr<TDecoder> decoder = std::move(decoder_);
    decoder->EndDecoding();
}

// --- Helpers ---

void ImageError(const std::string& message) {
    throw EInvalidGraphic(message);
}

void ImageErrorFmt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = FormatV(format, args);
    va_end(args);
    throw EInvalidGraphic(std::move(message));
}

void SwapShorts(void* data, size_t count) {
    auto* p = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < count; ++i, p += 2) {
        const uint8_t t = p[0];
        p[0] = p[1];
        p[1] = t;
    }
}

void SwapLongs(void* data, size_t count) {
    auto* p = static_cast<uint8_t*>(data);
    for (size_t i = 0; i < count; ++i, p += 4) {
        uint8_t t = p[0];
        p[0] = p[3];
        p[3] = t;
        t = p[1];
        p[1] = p[2];
        p[2] = t;
    }
}
