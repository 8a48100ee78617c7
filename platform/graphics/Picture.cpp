#include "platform/graphics/Picture.h"

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Icon.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/Metafile.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <cctype>

namespace {

// The system's own resource strings for the descriptions of its four formats.
enum : int { sVMetafiles = 1, sVEnhMetafiles, sVIcons, sVBitmaps };

std::string LoadResString(int id) {
    switch (id) {
    case sVMetafiles:
        return "MétaFichiers";
    case sVEnhMetafiles:
        return "MétaFichiers évolués";
    case sVIcons:
        return "Icônes";
    case sVBitmaps:
        return "Bitmaps";
    default:
        return {};
    }
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::unique_ptr<TFileFormatsList>& GlobalFormats() {
    static std::unique_ptr<TFileFormatsList> formats;
    return formats;
}

} // namespace

TFileFormatsList::TFileFormatsList() {
    Add("wmf", "", sVMetafiles, TMetafile::ClassRef());
    Add("emf", "", sVEnhMetafiles, TMetafile::ClassRef());
    Add("ico", "", sVIcons, TIcon::ClassRef());
    Add("bmp", "", sVBitmaps, TBitmap::ClassRef());
}

void TFileFormatsList::Add(const std::string& extension, const std::string& description,
                           int descResID, TGraphicClass graphicClass) {
    records_.push_back({graphicClass, Lower(extension), description, descResID});
}

TGraphicClass TFileFormatsList::FindExt(const std::string& extension) const {
    const std::string ext = Lower(extension);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it)
        if (it->Extension == ext) return it->GraphicClass;
    return nullptr;
}

void TFileFormatsList::Remove(TGraphicClass graphicClass) {
    std::erase_if(records_, [graphicClass](const TFileFormat& record) {
        return record.GraphicClass && record.GraphicClass->InheritsFrom(graphicClass);
    });
}

const std::string& TFileFormatsList::DescriptionOf(size_t index) {
    TFileFormat& record = records_.at(index);
    if (record.Description.empty() && record.DescResID != 0)
        record.Description = LoadResString(record.DescResID);
    return record.Description;
}

std::string TFileFormatsList::BuildFilterStrings(TGraphicClass base) {
    std::string descriptions, masks;
    int used = 0;
    for (size_t i = records_.size(); i-- > 0;) {
        const TFileFormat& record = records_[i];
        if (!record.GraphicClass || !record.GraphicClass->InheritsFrom(base) ||
            record.Extension.empty())
            continue;
        if (used > 0) {
            descriptions += '|';
            masks += ';';
        }
        // "%s (*.%s)|*.%s": description, extension, extension.
        descriptions += DescriptionOf(i);
        descriptions += " (*." + record.Extension + ")|*." + record.Extension;
        masks += "*." + record.Extension;
        ++used;
    }
    if (used > 1) return "Tout (" + masks + ")|" + masks + "|" + descriptions;
    return descriptions;
}

TFileFormatsList& GetFileFormats() {
    auto& formats = GlobalFormats();
    if (!formats) formats = std::make_unique<TFileFormatsList>();
    return *formats;
}

void FinalizePictureFormats() {
    GlobalFormats().reset();
}

void RegisterPictureFormat(const std::string& extension, const std::string& description,
                           TGraphicClass graphicClass) {
    GetFileFormats().Add(extension, description, 0, graphicClass);
}

void UnregisterPictureClass(TGraphicClass graphicClass) {
    // No clipboard formats are registered on this system, so only the file formats change.
    GetFileFormats().Remove(graphicClass);
}

TGraphicClass FindPictureClass(const std::string& extension) {
    return GetFileFormats().FindExt(extension);
}

std::string BuildPictureFilter(TGraphicClass base) {
    return GetFileFormats().BuildFilterStrings(base);
}

std::string ExtractFileExtension(const std::string& fileName) {
    const size_t slash = fileName.find_last_of('/');
    const size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return fileName.substr(dot + 1);
}

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

TGraphicClass FindPictureClassForFile(const std::string& fileName) {
    const std::string ext = ExtractFileExtension(fileName);
    const TGraphicClass byExtension = FindPictureClass(ext);
    if (!byExtension || !byExtension->Create)
        throw EInvalidGraphic(FormatImageMessage(msgUnknownExtension, ext));
    if (!byExtension->RecognizeStream) return byExtension;
    try {
        TFileStream stream(fileName, fmOpenRead);
        const auto recognizes = [&stream](TGraphicClass graphicClass) {
            const int64_t start = stream.Position();
            bool answer = false;
            try {
                answer = graphicClass->RecognizeStream(stream);
            } catch (const Exception&) {
                answer = false;
            }
            stream.SetPosition(start);
            return answer;
        };
        if (recognizes(byExtension)) return byExtension;
        for (const TFileFormat& record : GetFileFormats().Records()) {
            const TGraphicClass other = record.GraphicClass;
            if (other && other != byExtension && other->Create && other->RecognizeStream &&
                recognizes(other))
                return other;
        }
    } catch (const Exception&) {
        // A file that cannot be opened fails in the extension's class with its own message.
    }
    return byExtension;
}

void TPicture::LoadFromFile(const std::string& fileName) {
    const TGraphicClass graphicClass = FindPictureClassForFile(fileName);
    std::unique_ptr<TGraphic> graphic = graphicClass->Create();
    graphic->SetRequestedSize(requestedWidth_, requestedHeight_);
    graphic->SetSamplingMargin(samplingMargin_);
    graphic->OnProgress = [this](TGraphic& sender, TProgressStage stage, uint8_t percent,
                                 bool redraw, const TRect& rect, const std::string& message) {
        if (OnProgress) OnProgress(sender, stage, percent, redraw, rect, message);
    };
    graphic->LoadFromFile(fileName);
    graphic_ = std::move(graphic);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic) {
    graphic_ = std::move(graphic);
}
