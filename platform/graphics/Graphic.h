// The common base of every picture class, and class references: a small metaclass that names a
// class, its parent, how to create one and how to recognise its files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TBitmap;
class TGraphic;
class TStream;

struct TRect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool operator==(const TRect&) const = default;
};

enum TProgressStage : uint8_t { psStarting = 0, psRunning = 1, psEnding = 2 };

using TProgressEvent =
    std::function<void(TGraphic& sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                       const TRect& rect, const std::string& message)>;

// A class reference. One static instance per picture class.
struct TGraphicClassInfo {
    const char* Name;
    const TGraphicClassInfo* Parent;
    std::unique_ptr<TGraphic> (*Create)();
    bool (*RecognizeStream)(TStream& stream); // null: the class recognises nothing

    bool InheritsFrom(const TGraphicClassInfo* base) const {
        for (const TGraphicClassInfo* c = this; c; c = c->Parent)
            if (c == base) return true;
        return false;
    }
};
using TGraphicClass = const TGraphicClassInfo*;

// Class-level Recognize on a file: opens it for reading with other writers denied, asks the
// class's stream form, closes it. False when the file cannot be opened.
bool RecognizeFile(TGraphicClass graphicClass, const std::string& fileName);

class TGraphic {
public:
    TGraphic() = default;
    TGraphic(const TGraphic&) = delete;
    TGraphic& operator=(const TGraphic&) = delete;
    virtual ~TGraphic() = default;

    static TGraphicClass ClassRef();
    virtual TGraphicClass ClassType() const { return ClassRef(); }

    virtual void LoadFromStream(TStream& stream) = 0;
    // Raises EInvalidGraphic unless the class can write its format.
    virtual void SaveToStream(TStream& stream);
    // Opens the file for reading with other writers denied and loads it.
    virtual void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

    virtual bool Empty() const = 0;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    // Copies another picture. The base raises EInvalidGraphic.
    virtual void Assign(const TGraphic& source);
    // The picture's pixels, or null for pictures that have none (metafiles).
    virtual const TBitmap* AsBitmap() const = 0;
    // How the stored rows are to be turned to show the picture upright: the TIFF/EXIF
    // orientation value 1 to 8, or 0 when the file states none (shown as stored).
    virtual uint8_t Orientation() const { return 0; }

    // Decoding at the size shown. A caller that shows the picture smaller asks the next loads
    // for at least `width` x `height` pixels of the stored picture (0 x 0, the default: the whole
    // picture). A class that can give a smaller picture cheaply (one the file holds, a scaled
    // JPEG decode, every n-th row and column, the first passes of an interlaced image) loads
    // the picture shrunk by a whole factor that keeps it at least that large, each pixel
    // standing for its block; Width and Height are then the shrunk size, and the caller scales
    // the rest with a proper filter. Other classes load the whole picture.
    void SetRequestedSize(int32_t width, int32_t height) {
        requestedWidth_ = width;
        requestedHeight_ = height;
    }
    int32_t RequestedWidth() const { return requestedWidth_; }
    int32_t RequestedHeight() const { return requestedHeight_; }
    // The size of the picture as stored, whatever size was loaded.
    virtual int32_t FullWidth() const { return Width(); }
    virtual int32_t FullHeight() const { return Height(); }
    // The whole factor by which a picture of `width` x `height` may shrink and still cover the
    // requested size (1 when nothing is requested or the picture is not larger), at most
    // `largest`.
    uint32_t ShrinkFactor(uint64_t width, uint64_t height, uint32_t largest = UINT32_MAX) const;
    // The factor for a class that shrinks by keeping every k-th row and pixel (point sampling):
    // ShrinkFactor's divided by the sampling margin, so that the picture stays that many times
    // the size asked for and the caller's filter, not the sampling, makes the rest (sampled all
    // the way, a photograph's fine detail turns to grain). The margin is 4 unless set; 1 lets
    // sampling go all the way, for a caller that wants speed over smoothness.
    uint32_t SamplingFactor(uint64_t width, uint64_t height) const {
        return std::max<uint32_t>(1, ShrinkFactor(width, height) / samplingMargin_);
    }
    void SetSamplingMargin(uint32_t margin) { samplingMargin_ = std::max<uint32_t>(margin, 1); }
    static constexpr uint32_t DefaultSamplingMargin = 4;

    TProgressEvent OnProgress;

protected:
    void Progress(TProgressStage stage, uint8_t percentDone, bool redrawNow, const TRect& rect,
                  const std::string& message);

private:
    int32_t requestedWidth_ = 0;
    int32_t requestedHeight_ = 0;
    uint32_t samplingMargin_ = DefaultSamplingMargin;
};

// Builds the class reference of T: T must be default-constructible; a static
// `bool Recognize(TStream&)` of T becomes the class-level recognition.
template <class T> TGraphicClassInfo MakeGraphicClass(const char* name, TGraphicClass parent) {
    TGraphicClassInfo info{name, parent, nullptr, nullptr};
    if constexpr (!std::is_abstract_v<T>)
        info.Create = []() -> std::unique_ptr<TGraphic> { return std::make_unique<T>(); };
    if constexpr (requires(TStream & s) { T::Recognize(s); })
        info.RecognizeStream = [](TStream& s) -> bool { return T::Recognize(s); };
    return info;
}

// Declares ClassRef/ClassType in a picture class; define ClassRef with DEFINE_GRAPHIC_CLASS.
#define DECLARE_GRAPHIC_CLASS()                                                                    \
    static TGraphicClass ClassRef();                                                               \
    TGraphicClass ClassType() const override {                                                     \
        return ClassRef();                                                                         \
    }

#define DEFINE_GRAPHIC_CLASS(Class, Parent)                                                        \
    TGraphicClass Class::ClassRef() {                                                              \
        static const TGraphicClassInfo info = MakeGraphicClass<Class>(#Class, Parent::ClassRef()); \
        return &info;                                                                              \
    }
