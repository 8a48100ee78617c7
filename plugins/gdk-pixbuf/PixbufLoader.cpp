// The image library as a gdk-pixbuf loader: GTK programs (image viewers, file choosers) read the
// library's formats that gdk-pixbuf has no loader of its own for. gdk-pixbuf picks the loader by
// the file's MIME type, then hands it the whole file (load) or its bytes piece by piece
// (begin_load, load_increment, stop_load); the pieces are gathered and decoded at the end.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gmodule.h>

#include "imaging/FileFormatList.h"
#include "imaging/ImageGraphic.h"
#include "platform/graphics/Bitmap.h"
#include "platform/graphics/BitmapRows.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Picture.h"
#include "platform/graphics/Stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits.h>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace {

struct TKey {
    const char* Extension;
    // Whether the format is recognised by its content. Off for formats without a signature,
    // which are taken only when no other format recognises the data.
    bool ByContent;
};

// The formats read: the library's own that gdk-pixbuf lacks (it reads Targa, TIFF, GIF, PNG,
// the portable maps, BMP and ICO itself). The same extensions as the Qt plugin's, less those.
constexpr TKey Keys[] = {
    {"pcx", true}, {"pcc", true},  {"scr", true},  {"rla", true},  {"rpf", true},  {"sgi", true},
    {"rgb", true}, {"rgba", true}, {"bw", true},   {"psd", true},  {"pdd", true},  {"pcd", true},
    {"psp", true}, {"eps", true},  {"cel", false}, {"pic", false}, {"cut", false},
};

// The MIME types of the formats read, each with the extension of its reader. Paintshop Pro,
// Dr. Halo, RLA and Autodesk are defined by the package's shared-mime-info file
// (desktop/chronolith-mime.xml).
struct TMimeType {
    const char* Name;
    const char* Extension;
};
constexpr TMimeType MimeTypes[] = {
    {"image/vnd.zbrush.pcx", "pcx"},      {"image/x-sgi", "sgi"},         {"image/x-rgb", "rgb"},
    {"image/vnd.adobe.photoshop", "psd"}, {"image/x-photo-cd", "pcd"},    {"image/x-eps", "eps"},
    {"image/x-paintshop-pro", "psp"},     {"image/x-dr-halo-cut", "cut"}, {"image/x-rla", "rla"},
    {"image/x-autodesk-cel", "cel"},
};

// Bytes of a header that every reader's recognition looks at.
constexpr size_t RecognizeBytes = 64 * 1024;

void EnsureLibrary() {
    // gdk-pixbuf keeps a loader until the program exits.
    static const TImagingLibrary library;
}

TGraphicClass LibraryClassOf(const std::string& extension) {
    const TGraphicClass graphicClass = FindPictureClass(extension);
    return graphicClass && graphicClass->InheritsFrom(TImageGraphic::ClassRef()) ? graphicClass
                                                                                 : nullptr;
}

const TKey* KeyOf(const std::string& extension) {
    for (const TKey& key : Keys)
        if (extension == key.Extension) return &key;
    return nullptr;
}

bool HeaderReads(TGraphicClass graphicClass, TStream& stream) {
    const std::unique_ptr<TGraphic> graphic = graphicClass->Create();
    auto* reader = dynamic_cast<TImageGraphic*>(graphic.get());
    const int64_t start = stream.Position();
    bool reads = false;
    try {
        reads = reader && reader->ReadImageHeader(stream, 0);
    } catch (const std::exception&) {
    }
    stream.Seek(start, TSeekOrigin::soBeginning);
    return reads;
}

// The class of the MIME type the content alone gives, as gdk-pixbuf first guesses it before it
// chooses a loader by that type; null when the guess is uncertain (gdk-pixbuf then goes by the
// file's name, which a loader is not told) or names a type no reader here has.
TGraphicClass ClassOfContentType(std::span<const uint8_t> head) {
    gboolean uncertain = TRUE;
    const std::unique_ptr<gchar, decltype(&g_free)> type(
        g_content_type_guess(nullptr, head.data(), head.size(), &uncertain), g_free);
    if (uncertain || !type) return nullptr;
    for (const TMimeType& mime : MimeTypes) {
        const std::unique_ptr<gchar, decltype(&g_free)> ours(
            g_content_type_from_mime_type(mime.Name), g_free);
        if (ours && g_content_type_equals(type.get(), ours.get()))
            return LibraryClassOf(mime.Extension);
    }
    return nullptr;
}

// The class that reads `head` (the file's first bytes) of a file with extension `extension`
// (empty when the name is unknown):
// - the extension's class when it recognises the content;
// - else the class of the MIME type the content gives (a damaged file, or an EPS file whose
//   header states no preview, then gets its own format's message);
// - else the first class with a signature that recognises it;
// - else the extension's class, for a format without a signature;
// - else the first class without a signature whose header reads (an Autodesk header has a
//   magic number, a Dr. Halo header none: it comes last).
TGraphicClass ChooseClass(std::span<const uint8_t> bytes, const std::string& extension) {
    TMemoryStream head(bytes);
    const TKey* named = KeyOf(extension);
    const TGraphicClass namedClass = named ? LibraryClassOf(named->Extension) : nullptr;
    if (namedClass && TImageGraphic::Recognize(namedClass, head)) return namedClass;
    if (const TGraphicClass typed = ClassOfContentType(bytes)) return typed;
    for (const TKey& key : Keys) {
        const TGraphicClass candidate = LibraryClassOf(key.Extension);
        if (key.ByContent && candidate && TImageGraphic::Recognize(candidate, head))
            return candidate;
    }
    if (namedClass) return namedClass;
    for (const TKey& key : Keys) {
        const TGraphicClass candidate = LibraryClassOf(key.Extension);
        if (!key.ByContent && candidate && HeaderReads(candidate, head)) return candidate;
    }
    return nullptr;
}

// The short name of a class's format in messages: its first extension, in capitals.
std::string ShortNameOf(TGraphicClass graphicClass) {
    for (const TKey& key : Keys)
        if (LibraryClassOf(key.Extension) == graphicClass) {
            std::string name = key.Extension;
            for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
            return name;
        }
    return "image";
}

class ELoaderError : public std::exception {
public:
    ELoaderError(GdkPixbufError code, std::string message)
        : Code(code), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    GdkPixbufError Code;

private:
    std::string message_;
};

// The bitmap as a pixbuf: RGBA when the bitmap carries alpha, RGB otherwise. The pixbuf must
// fit in the library's memory limit too.
GdkPixbuf* ToPixbuf(const TBitmap& bitmap, const std::string& shortName) {
    const int32_t width = bitmap.Width(), height = bitmap.Height();
    const TBitmapRows rows(bitmap, TChannelOrder::RGBA);
    const size_t channels = rows.HasAlpha() ? 4 : 3;
    if (size_t(width) * size_t(height) > TBitmap::MaxPixelBytes() / channels)
        throw ELoaderError(GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                           FormatImageMessage(msgImageTooLarge, shortName, std::to_string(width),
                                              std::to_string(height), std::to_string(channels * 8),
                                              MemorySizeText(TBitmap::MaxPixelBytes())));
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, rows.HasAlpha(), 8, width, height);
    if (!pixbuf)
        throw ELoaderError(GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                           FormatImageMessage(msgOutOfMemory, shortName));
    const size_t stride = size_t(gdk_pixbuf_get_rowstride(pixbuf));
    uint8_t* pixels = gdk_pixbuf_get_pixels(pixbuf);
    if (rows.HasAlpha()) {
        for (int32_t y = 0; y < height; ++y)
            rows.Convert(y, std::span<uint8_t>(pixels + size_t(y) * stride, size_t(width) * 4));
        return pixbuf;
    }
    // Opaque: each row through a four-byte row, its alpha bytes left out.
    std::vector<uint8_t> row(size_t(width) * 4);
    for (int32_t y = 0; y < height; ++y) {
        rows.Convert(y, row);
        uint8_t* out = pixels + size_t(y) * stride;
        for (size_t x = 0; x < size_t(width); ++x, out += 3) std::memcpy(out, &row[4 * x], 3);
    }
    return pixbuf;
}

struct TPixbufDeleter {
    void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using TPixbufRef = std::unique_ptr<GdkPixbuf, TPixbufDeleter>;

// The decoding of one image: the reader chosen from the file's first bytes (and its name when
// known), the size its header states, the image.
class TDecoder {
public:
    TDecoder(std::span<const uint8_t> head, const std::string& fileName) {
        graphicClass_ = ChooseClass(head, ExtractFileExtension(fileName));
        if (!graphicClass_)
            throw ELoaderError(GDK_PIXBUF_ERROR_UNKNOWN_TYPE,
                               FormatImageMessage(msgInvalidFile, "image"));
        graphic_ = graphicClass_->Create();
    }

    // The size the header in `head` states, or 0 x 0 when it does not give it (an EPS preview)
    // or needs more bytes.
    std::pair<int, int> HeaderSize(std::span<const uint8_t> head) {
        auto* reader = dynamic_cast<TImageGraphic*>(graphic_.get());
        TMemoryStream stream(head);
        try {
            if (!reader || !reader->ReadImageHeader(stream, 0)) return {0, 0};
        } catch (const std::exception&) {
            return {0, 0};
        }
        const TImageProperties& header = reader->ImageProperties;
        if (header.Width > INT_MAX || header.Height > INT_MAX) return {0, 0};
        return {int(header.Width), int(header.Height)};
    }

    // The image of a file opened by name, so that a format's side files (a CUT image's
    // palette) are found as when the library opens it.
    TPixbufRef DecodeFile(const std::string& fileName) {
        graphic_->LoadFromFile(fileName);
        return Result();
    }

    TPixbufRef DecodeBytes(std::vector<uint8_t> bytes) {
        TMemoryStream stream(std::move(bytes));
        graphic_->LoadFromStream(stream);
        return Result();
    }

private:
    TPixbufRef Result() const {
        const TBitmap* bitmap = graphic_->AsBitmap();
        if (!bitmap || bitmap->Empty())
            throw ELoaderError(GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                               FormatImageMessage(msgInvalidFile, ShortNameOf(graphicClass_)));
        return TPixbufRef(ToPixbuf(*bitmap, ShortNameOf(graphicClass_)));
    }

    TGraphicClass graphicClass_ = nullptr;
    std::unique_ptr<TGraphic> graphic_;
};

// Runs `body`, turning every exception into a GError; answers whether it succeeded.
template <class TBody> bool Guarded(GError** error, TBody&& body) {
    try {
        EnsureLibrary();
        body();
        return true;
    } catch (const ELoaderError& e) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, e.Code, e.what());
    } catch (const std::bad_alloc&) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                            FormatImageMessage(msgOutOfMemory, "image").c_str());
    } catch (const std::exception& e) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, e.what());
    } catch (...) {
        g_set_error_literal(error, GDK_PIXBUF_ERROR, GDK_PIXBUF_ERROR_FAILED,
                            FormatImageMessage(msgInvalidFile, "image").c_str());
    }
    return false;
}

[[noreturn]] void FileTooLarge() {
    throw ELoaderError(GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY,
                       FormatImageMessage(msgFileTooLarge, "Image"));
}

// The name of the regular file open as `file`, or empty (a pipe, a file deleted or replaced
// since it was opened, a system without /proc).
std::string FileNameOf(FILE* file) {
    const int descriptor = fileno(file);
    struct stat opened {};
    if (descriptor < 0 || fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) return {};
    std::array<char, PATH_MAX> path{};
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    const ssize_t length = readlink(link.c_str(), path.data(), path.size() - 1);
    if (length <= 0) return {};
    std::string name(path.data(), size_t(length));
    struct stat named {};
    if (stat(name.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino)
        return {};
    return name;
}

// Whole-file loading.
GdkPixbuf* Load(FILE* file, GError** error) {
    TPixbufRef pixbuf;
    Guarded(error, [&] {
        const std::string fileName = FileNameOf(file);
        std::vector<uint8_t> bytes(RecognizeBytes);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), file));
        TDecoder decoder(bytes, fileName);
        if (!fileName.empty()) {
            pixbuf = decoder.DecodeFile(fileName);
            return;
        }
        // Not a file the library can open by name: the rest is read within the memory limit.
        std::array<uint8_t, 64 * 1024> piece;
        while (const size_t count = fread(piece.data(), 1, piece.size(), file)) {
            if (bytes.size() + count > TBitmap::MaxPixelBytes()) FileTooLarge();
            bytes.insert(bytes.end(), piece.data(), piece.data() + count);
        }
        pixbuf = decoder.DecodeBytes(std::move(bytes));
    });
    return pixbuf.release();
}

// Incremental loading: the pieces are gathered; the size is announced as soon as the header
// reads (a caller that only wants the size stops there), the image at the end.
struct TIncremental {
    GdkPixbufModuleSizeFunc Size;
    GdkPixbufModulePreparedFunc Prepared;
    GdkPixbufModuleUpdatedFunc Updated;
    gpointer UserData;
    std::vector<uint8_t> Bytes;
    bool SizeAnnounced = false;
    bool Declined = false; // the size callback asked for no image

    std::span<const uint8_t> Head() const {
        return std::span<const uint8_t>(Bytes).first(std::min(Bytes.size(), RecognizeBytes));
    }
    // Announces the size the header states, when it reads.
    void AnnounceHeaderSize(TDecoder& decoder) {
        const auto [width, height] = decoder.HeaderSize(Head());
        if (width > 0 && height > 0) AnnounceSize(width, height);
    }
    void AnnounceSize(int width, int height) {
        SizeAnnounced = true;
        if (!Size) return;
        Size(&width, &height, UserData);
        Declined = width <= 0 || height <= 0;
    }
};

gpointer BeginLoad(GdkPixbufModuleSizeFunc size, GdkPixbufModulePreparedFunc prepared,
                   GdkPixbufModuleUpdatedFunc updated, gpointer userData, GError** error) {
    std::unique_ptr<TIncremental> context;
    Guarded(error, [&] {
        context =
            std::make_unique<TIncremental>(TIncremental{size, prepared, updated, userData, {}});
    });
    return context.release();
}

gboolean LoadIncrement(gpointer data, const guchar* buffer, guint size, GError** error) {
    auto& context = *static_cast<TIncremental*>(data);
    return Guarded(error, [&] {
        if (context.Declined) return;
        if (context.Bytes.size() + size > TBitmap::MaxPixelBytes()) FileTooLarge();
        const bool wasShort = context.Bytes.size() < RecognizeBytes;
        context.Bytes.insert(context.Bytes.end(), buffer, buffer + size);
        // Once, when the first bytes are all here; a file no reader recognises yet, or whose
        // header needs more, is tried again at the end.
        if (context.SizeAnnounced || !wasShort || context.Bytes.size() < RecognizeBytes) return;
        try {
            TDecoder decoder(context.Head(), {});
            context.AnnounceHeaderSize(decoder);
        } catch (const ELoaderError&) {
        }
    });
}

gboolean StopLoad(gpointer data, GError** error) {
    const std::unique_ptr<TIncremental> context(static_cast<TIncremental*>(data));
    return Guarded(error, [&] {
        if (context->Declined) return;
        TDecoder decoder(context->Head(), {});
        if (!context->SizeAnnounced) context->AnnounceHeaderSize(decoder);
        if (context->Declined) return;
        const TPixbufRef pixbuf = decoder.DecodeBytes(std::move(context->Bytes));
        const int width = gdk_pixbuf_get_width(pixbuf.get());
        const int height = gdk_pixbuf_get_height(pixbuf.get());
        if (!context->SizeAnnounced) {
            context->AnnounceSize(width, height);
            if (context->Declined) return;
        }
        if (context->Prepared) context->Prepared(pixbuf.get(), nullptr, context->UserData);
        if (context->Updated)
            context->Updated(pixbuf.get(), 0, 0, width, height, context->UserData);
    });
}

gchar* MimeTypeNames[std::size(MimeTypes) + 1] = {};
gchar* Extensions[std::size(Keys) + 1] = {};

// Signatures for builds of gdk-pixbuf that do not sniff MIME types (a mask's 'x' is any byte,
// ' ' a byte that must match).
GdkPixbufModulePattern Signatures[] = {
    {const_cast<gchar*>("8BPS"), nullptr, 100},
    {const_cast<gchar*>("Paint Shop Pro Image File\n\x1a"), nullptr, 100},
    {const_cast<gchar*>("PCD_OPA"), nullptr, 100},
    {const_cast<gchar*>("\x01\xda"), nullptr, 80},
    {const_cast<gchar*>("\x19\x91"), nullptr, 50},
    {const_cast<gchar*>("\xc5\xd0\xd3\xc6"), nullptr, 100},
    {const_cast<gchar*>("xxxxxxxxxxxxxxxxxxxxxxxxxx\xff\xfe"),
     const_cast<gchar*>("xxxxxxxxxxxxxxxxxxxxxxxxxx  "), 50},
    {const_cast<gchar*>("\x0a"), nullptr, 20},
    {nullptr, nullptr, 0},
};

} // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = Load;
    module->begin_load = BeginLoad;
    module->stop_load = StopLoad;
    module->load_increment = LoadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    for (size_t i = 0; i < std::size(Keys); ++i)
        Extensions[i] = const_cast<gchar*>(Keys[i].Extension);
    for (size_t i = 0; i < std::size(MimeTypes); ++i)
        MimeTypeNames[i] = const_cast<gchar*>(MimeTypes[i].Name);
    info->name = const_cast<gchar*>("chronolith");
    info->signature = Signatures;
    info->description = const_cast<gchar*>("Chronolith image library");
    info->mime_types = MimeTypeNames;
    info->extensions = Extensions;
    info->flags = 0;
    info->license = const_cast<gchar*>("Other");
}

} // extern "C"
