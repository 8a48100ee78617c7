// The image library's registry of file formats. Every registration is mirrored into the
// global picture registry, which decides which class loads a file and builds the open
// dialog's filter; this registry adds a shared description per class, a description and a
// set of file kinds per extension, and a count of extensions per class.
#pragma once

#include "platform/graphics/Graphic.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum TFileKind : uint8_t { fkAnimation, fkLayers, fkMultiImage, fkRaster, fkVector };

// A one-byte set of TFileKind: bit n stands for the kind with ordinal n.
struct TFileKinds {
    uint8_t Bits = 0;

    constexpr TFileKinds() = default;
    constexpr TFileKinds(std::initializer_list<TFileKind> kinds) {
        for (TFileKind kind : kinds) Bits = uint8_t(Bits | (1u << kind));
    }
    constexpr bool Contains(TFileKind kind) const { return (Bits >> kind) & 1u; }
    bool operator==(const TFileKinds&) const = default;
};

struct TClassEntry {
    TGraphicClass GraphicClass = nullptr;
    std::string Description; // the class's common description
    int32_t Count = 0;       // extension entries that refer to this entry
};

struct TExtensionEntry {
    std::string Extension; // as registered, without the dot
    std::string Description;
    TFileKinds FileKinds;
    TClassEntry* ClassReference = nullptr; // not owned
};

class TFileFormatList {
public:
    TFileFormatList();
    ~TFileFormatList();
    TFileFormatList(const TFileFormatList&) = delete;
    TFileFormatList& operator=(const TFileFormatList&) = delete;

    // Position of the first extension entry equal to `extension` regardless of letter case;
    // -1 when the argument is empty or not registered.
    int IndexOfExtension(std::string_view extension) const;
    // Position of the class entry of exactly this class; -1 when absent.
    int IndexOfClass(TGraphicClass graphicClass) const;

    // Registers one extension and mirrors it into the global picture registry. An empty
    // extension does nothing; an extension registered before raises EInvalidGraphic
    // "Attempt to register %s twice.".
    void AddFormat(const std::string& extension, const std::string& commonDescription,
                   const std::string& individualDescription, TFileKinds fileKinds,
                   TGraphicClass graphicClass);
    // Unregisters one extension (the class is then not consulted), or, with an empty
    // extension, a class and all its extensions. Unknown extensions and classes are ignored.
    void RemoveFormat(const std::string& extension, TGraphicClass graphicClass);
    // Unregisters everything.
    void RemoveAll();

    size_t ClassCount() const { return classes_.size(); }
    const TClassEntry& ClassEntry(size_t index) const { return *classes_.at(index); }
    size_t ExtensionCount() const { return extensions_.size(); }
    const TExtensionEntry& ExtensionEntry(size_t index) const { return *extensions_.at(index); }

private:
    void RemoveClassEntry(TClassEntry* entry);

    std::vector<std::unique_ptr<TClassEntry>> classes_;
    std::vector<std::unique_ptr<TExtensionEntry>> extensions_;
};

// One row of the start-up table.
struct TFormatRegistration {
    std::string Extension;
    TGraphicClass (*GraphicClass)();
    std::string CommonDescription;     // empty: keep the class's description
    std::string IndividualDescription; // empty: the global registry gets the common one
    TFileKinds FileKinds;
};

// One step of the shut-down: an extension of a class, or with an empty extension the class
// and all its extensions.
struct TFormatRemoval {
    std::string Extension;
    TGraphicClass (*GraphicClass)();
};

// The library's start-up table and shut-down order.
std::span<const TFormatRegistration> FormatRegistrations();
std::span<const TFormatRemoval> FormatRemovals();

void RegisterFormats(TFileFormatList& list, std::span<const TFormatRegistration> rows);
void UnregisterFormats(TFileFormatList& list, std::span<const TFormatRemoval> steps);

// The registry set at start-up; null before it and after shut-down.
TFileFormatList* FileFormatList();

// The static start-up of a program that uses the library, in order: the global picture
// registry with the system's own four formats, the JPEG class's own registrations, then the
// library's registry and its table. Runs once however often it is entered; each call is
// matched by one FinalizeImaging, and the last one shuts down in reverse.
void InitializeImaging();
void FinalizeImaging();

// Program entries hold one of these for their whole run, before anything else.
class TImagingLibrary {
public:
    TImagingLibrary() { InitializeImaging(); }
    ~TImagingLibrary() { FinalizeImaging(); }
    TImagingLibrary(const TImagingLibrary&) = delete;
    TImagingLibrary& operator=(const TImagingLibrary&) = delete;
};
