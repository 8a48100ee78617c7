// The global picture registry (which class loads which file extension, and the open dialog's
// filter) and the picture container that loads a file through it.
#pragma once

#include "platform/graphics/Graphic.h"

#include <memory>
#include <string>
#include <vector>

// One record of the global registry.
struct TFileFormat {
    TGraphicClass GraphicClass = nullptr;
    std::string Extension;   // lower case, without the dot
    std::string Description; // may be empty when DescResID names a resource string
    int DescResID = 0;       // 0: none
};

// The list of picture file formats. The global instance is created on first use with the
// system's four own formats: wmf, emf, ico, bmp.
class TFileFormatsList {
public:
    TFileFormatsList();

    // Appends a record; the extension is stored in lower case. Duplicates are kept.
    void Add(const std::string& extension, const std::string& description, int descResID,
             TGraphicClass graphicClass);
    // The class of the most recently added record for the extension (letter case ignored),
    // or null.
    TGraphicClass FindExt(const std::string& extension) const;
    // Removes every record whose class is `graphicClass` or derives from it.
    void Remove(TGraphicClass graphicClass);
    // The dialog filter over the records whose class derives from `base`.
    std::string BuildFilterStrings(TGraphicClass base);

    const std::vector<TFileFormat>& Records() const { return records_; }
    // The record's description; an empty one is first loaded from its resource and kept.
    const std::string& DescriptionOf(size_t index);

private:
    std::vector<TFileFormat> records_;
};

// The global registry, created on first use.
TFileFormatsList& GetFileFormats();
// Frees the global registry, as the platform does when the program ends; the next use
// creates it afresh with the four own formats.
void FinalizePictureFormats();

void RegisterPictureFormat(const std::string& extension, const std::string& description,
                           TGraphicClass graphicClass);
void UnregisterPictureClass(TGraphicClass graphicClass);
TGraphicClass FindPictureClass(const std::string& extension);
std::string BuildPictureFilter(TGraphicClass base);

// Holds one picture of any registered class.
class TPicture {
public:
    TPicture();
    ~TPicture();
    TPicture(const TPicture&) = delete;
    TPicture& operator=(const TPicture&) = delete;

    // Loads the file through the class FindPictureClassForFile names for it. On failure the
    // previous picture stays.
    void LoadFromFile(const std::string& fileName);
    // Takes ownership of a picture; null empties the container.
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    void Clear() { SetGraphic(nullptr); }

    TGraphic* Graphic() const { return graphic_.get(); }
    int32_t Width() const { return graphic_ ? graphic_->Width() : 0; }
    int32_t Height() const { return graphic_ ? graphic_->Height() : 0; }

    // Receives the progress events of the held picture while it loads.
    TProgressEvent OnProgress;

    // The size the next loads are asked for (TGraphic::SetRequestedSize); 0 x 0, the default,
    // loads whole pictures.
    void SetRequestedSize(int32_t width, int32_t height) {
        requestedWidth_ = width;
        requestedHeight_ = height;
    }
    // The sampling margin of the next loads (TGraphic::SetSamplingMargin).
    void SetSamplingMargin(uint32_t margin) { samplingMargin_ = margin; }

private:
    std::unique_ptr<TGraphic> graphic_;
    int32_t requestedWidth_ = 0;
    int32_t requestedHeight_ = 0;
    uint32_t samplingMargin_ = TGraphic::DefaultSamplingMargin;
};

// The class that loads a file: the one registered for its extension, unless that class
// recognises a signature the file's content lacks while another registered class recognises the
// content (a PNG saved as ".pbm", a JPEG as ".tif"); then that one. Raises EInvalidGraphic
// "Extension de fichier graphique inconnue (.%s)" when no record matches the extension.
TGraphicClass FindPictureClassForFile(const std::string& fileName);

// The extension of a file name without its dot ("" when there is none).
std::string ExtractFileExtension(const std::string& fileName);
