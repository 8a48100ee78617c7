#include "platform/graphics/Graphic.h"

#include <algorithm>

#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Stream.h"

TGraphicClass TGraphic::ClassRef() {
    static const TGraphicClassInfo info{"TGraphic", nullptr, nullptr, nullptr};
    return &info;
}

bool RecognizeFile(TGraphicClass graphicClass, const std::string& fileName) {
    if (!graphicClass || !graphicClass->RecognizeStream) return false;
    try {
        TFileStream stream(fileName, fmOpenRead);
        return graphicClass->RecognizeStream(stream);
    } catch (const Exception&) {
        return false;
    }
}

void TGraphic::SaveToStream(TStream&) {
    throw EInvalidGraphic(FormatImageMessage(msgCannotSave, ClassType()->Name));
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    TFileStream stream(fileName, fmOpenRead);
    LoadFromStream(stream);
}

void TGraphic::SaveToFile(const std::string& fileName) {
    TFileStream stream(fileName, fmCreate);
    SaveToStream(stream);
}

void TGraphic::Assign(const TGraphic& source) {
    throw EInvalidGraphic(
        FormatImageMessage(msgCannotAssign, source.ClassType()->Name, ClassType()->Name));
}

void TGraphic::Progress(TProgressStage stage, uint8_t percentDone, bool redrawNow,
                        const TRect& rect, const std::string& message) {
    if (OnProgress) OnProgress(*this, stage, percentDone, redrawNow, rect, message);
}

uint32_t TGraphic::ShrinkFactor(uint64_t width, uint64_t height, uint32_t largest) const {
    if (requestedWidth_ <= 0 && requestedHeight_ <= 0) return 1;
    // The largest k with ceil(width / k) >= requested width, and the same for the height.
    const auto most = [](uint64_t size, int32_t requested) -> uint64_t {
        if (requested <= 0) return UINT64_MAX;
        return size <= uint64_t(requested) ? 1 : size / uint64_t(requested);
    };
    const uint64_t factor =
        std::min({most(width, requestedWidth_), most(height, requestedHeight_), uint64_t(largest)});
    return uint32_t(std::max<uint64_t>(factor, 1));
}
