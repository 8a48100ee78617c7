#include "platform/graphics/Graphic.h"

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
