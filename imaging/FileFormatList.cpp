#include "imaging/FileFormatList.h"

#include "platform/graphics/ImageMessages.h"

#include "platform/graphics/Bitmap.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/Icon.h"
#include "platform/graphics/JPEGImage.h"
#include "platform/graphics/Metafile.h"
#include "platform/graphics/Picture.h"
// Readers: one include per reader header, in the order of the table below.
#include "imaging/formats/AutodeskGraphic.h"
#include "imaging/formats/CUTGraphic.h"
#include "imaging/formats/EPSGraphic.h"
#include "imaging/formats/GIFGraphic.h"
#include "imaging/formats/PCDGraphic.h"
#include "imaging/formats/PCXGraphic.h"
#include "imaging/formats/PNGGraphic.h"
#include "imaging/formats/PPMGraphic.h"
#include "imaging/formats/PSDGraphic.h"
#include "imaging/formats/PSPGraphic.h"
#include "imaging/formats/RLAGraphic.h"
#include "imaging/formats/SGIGraphic.h"
#include "imaging/formats/TIFFGraphic.h"
#include "imaging/formats/TargaGraphic.h"

#include <algorithm>
#include <cctype>

namespace {

// The start-up table: one row per extension, registered in this order.
//
// Adding a reader: include its header above, put one row per extension at its place in the
// table (the order decides the global registry's order and so the open dialog's filter),
// and add its class to the shut-down order in FormatRemovals() below. Nothing else changes.
const std::vector<TFormatRegistration>& RegistrationTable() {
    // clang-format off
    static const std::vector<TFormatRegistration> rows = {
        // extension, class, common description, individual description, file kinds
        {"bmp", &TBitmap::ClassRef, msgBitmaps, "", {fkRaster}},
        {"ico", &TIcon::ClassRef, msgIcons, "", {fkRaster}},
        {"wmf", &TMetafile::ClassRef, msgMetafiles, "", {fkVector}},
        {"emf", &TMetafile::ClassRef, msgMetafiles, msgEnhancedMetafiles, {fkVector}},
        {"jfif", &TJPEGImage::ClassRef, msgJPGImages, msgJFIFImages, {fkRaster}},
        {"jpg", &TJPEGImage::ClassRef, "", msgJPGImages, {fkRaster}},
        {"jpe", &TJPEGImage::ClassRef, "", msgJPEImages, {fkRaster}},
        {"jpeg", &TJPEGImage::ClassRef, "", msgJPEGImages, {fkRaster}},
        {"rle", &TBitmap::ClassRef, msgBitmaps, msgRLEBitmaps, {fkRaster}},
        {"dib", &TBitmap::ClassRef, "", msgDIBBitmaps, {fkRaster}},
        {"win", &TTargaGraphic::ClassRef, msgTruevisionImages, "", {fkRaster}},
        {"vst", &TTargaGraphic::ClassRef, "", "", {fkRaster}},
        {"vda", &TTargaGraphic::ClassRef, "", "", {fkRaster}},
        {"tga", &TTargaGraphic::ClassRef, "", "", {fkRaster}},
        {"icb", &TTargaGraphic::ClassRef, "", "", {fkRaster}},
{"tiff", &TTIFFGraphic::ClassRef, msgTIFFImages, msgMacTIFFImages, {fkMultiImage, fkRaster}},
        {"tif", &TTIFFGraphic::ClassRef, "", msgPCTIFImages, {fkMultiImage, fkRaster}},
        {"fax", &TTIFFGraphic::ClassRef, "", msgFaxImages, {fkMultiImage, fkRaster}},
        {"eps", &TEPSGraphic::ClassRef, msgEPSImages, "", {fkRaster}},
        {"pcx", &TPCXGraphic::ClassRef, msgPCXImages, "", {fkRaster}},
        {"pcc", &TPCXGraphic::ClassRef, "", "", {fkRaster}},
        {"scr", &TPCXGraphic::ClassRef, "", msgScreenCaptureImages, {fkRaster}},
        {"rpf", &TRLAGraphic::ClassRef, msgRLAImages, "", {fkRaster}},
        {"rla", &TRLAGraphic::ClassRef, "", "", {fkRaster}},
        {"sgi", &TSGIGraphic::ClassRef, msgSGIImages, msgSGITrueColorImages, {fkRaster}},
        {"rgba", &TSGIGraphic::ClassRef, "", msgSGITrueColorAlphaImages, {fkRaster}},
        {"rgb", &TSGIGraphic::ClassRef, "", msgSGITrueColorImages, {fkRaster}},
        {"bw", &TSGIGraphic::ClassRef, "", msgSGIMonoImages, {fkRaster}},
        {"psd", &TPSDGraphic::ClassRef, msgPhotoshopImages, "", {fkLayers, fkRaster}},
        {"pdd", &TPSDGraphic::ClassRef, "", "", {fkLayers, fkRaster}},
        {"ppm", &TPPMGraphic::ClassRef, msgPortableMapImages, msgPortablePixelmapImages, {fkRaster}},
        {"pgm", &TPPMGraphic::ClassRef, "", msgPortableGraymapImages, {fkRaster}},
        {"pbm", &TPPMGraphic::ClassRef, "", msgPortableBitmapImages, {fkRaster}},
        {"cel", &TAutodeskGraphic::ClassRef, msgAutodeskImages, "", {fkRaster}},
        {"pic", &TAutodeskGraphic::ClassRef, msgAutodeskImages, "", {fkRaster}},
        {"pcd", &TPCDGraphic::ClassRef, msgPhotoCDImages, "", {fkRaster}},
        {"gif", &TGIFGraphic::ClassRef, msgCompuServeImages, "", {fkAnimation, fkMultiImage, fkRaster}},
        {"cut", &TCUTGraphic::ClassRef, msgHaloImages, "", {fkRaster}},
        {"psp", &TPSPGraphic::ClassRef, msgPaintshopProImages, "", {fkRaster, fkVector}},
        {"png", &TPNGGraphic::ClassRef, msgPNGImages, "", {fkRaster}},
    };
    // clang-format on
    return rows;
}

// The shut-down order: first the readers' classes as a whole, then the bitmap's two further
// extensions, then the PNG reader's class; the registry's destruction unregisters the rest.
// A reader's class goes into the first group at its place in this order:
//   PSP, PSD, Targa, TIFF, SGI, PCX, Autodesk, PCD, PPM, CUT, GIF, RLA
// except the PNG reader's, which goes after "dib". The EPS reader's class has no step.
const std::vector<TFormatRemoval>& RemovalOrder() {
    // clang-format off
    static const std::vector<TFormatRemoval> steps = {
        {"", &TPSPGraphic::ClassRef},
        {"", &TPSDGraphic::ClassRef},
        {"", &TTargaGraphic::ClassRef},
        {"", &TTIFFGraphic::ClassRef},
        {"", &TSGIGraphic::ClassRef},
        {"", &TPCXGraphic::ClassRef},
        {"", &TAutodeskGraphic::ClassRef},
        {"", &TPCDGraphic::ClassRef},
        {"", &TPPMGraphic::ClassRef},
        {"", &TCUTGraphic::ClassRef},
        {"", &TGIFGraphic::ClassRef},
        {"", &TRLAGraphic::ClassRef},
        {"rle", &TBitmap::ClassRef},
        {"dib", &TBitmap::ClassRef},
        {"", &TPNGGraphic::ClassRef},
    };
    // clang-format on
    return steps;
}

std::string Lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return result;
}

std::unique_ptr<TFileFormatList> g_fileFormatList;
int g_initCount = 0;

} // namespace

TFileFormatList::TFileFormatList() = default;
TFileFormatList::~TFileFormatList() {
    RemoveAll();
}

int TFileFormatList::IndexOfExtension(std::string_view extension) const {
    if (extension.empty()) return -1;
    const std::string wanted = Lower(extension);
    for (size_t i = 0; i < extensions_.size(); ++i)
        if (Lower(extensions_[i]->Extension) == wanted) return int(i);
    return -1;
}

int TFileFormatList::IndexOfClass(TGraphicClass graphicClass) const {
    for (size_t i = 0; i < classes_.size(); ++i)
        if (classes_[i]->GraphicClass == graphicClass) return int(i);
    return -1;
}

void TFileFormatList::AddFormat(const std::string& extension, const std::string& commonDescription,
                                const std::string& individualDescription, TFileKinds fileKinds,
                                TGraphicClass graphicClass) {
    if (extension.empty()) return;
    if (IndexOfExtension(extension) >= 0)
        throw EInvalidGraphic(FormatImageMessage(msgRegisterTwice, extension));
    const int classIndex = IndexOfClass(graphicClass);

    auto entry = std::make_unique<TExtensionEntry>();
    entry->Extension = extension;
    entry->Description = individualDescription;
    entry->FileKinds = fileKinds;
    TClassEntry* classEntry;
    if (classIndex < 0) {
        classes_.push_back(std::make_unique<TClassEntry>());
        classEntry = classes_.back().get();
        classEntry->GraphicClass = graphicClass;
    } else {
        classEntry = classes_[size_t(classIndex)].get();
    }
    if (!commonDescription.empty()) classEntry->Description = commonDescription;
    ++classEntry->Count;
    entry->ClassReference = classEntry;
    extensions_.push_back(std::move(entry));

    const std::string& description =
        individualDescription.empty() ? classEntry->Description : individualDescription;
    RegisterPictureFormat(extension, description, graphicClass);
}

void TFileFormatList::RemoveClassEntry(TClassEntry* entry) {
    const TGraphicClass graphicClass = entry->GraphicClass;
    std::erase_if(classes_, [entry](const auto& e) { return e.get() == entry; });
    UnregisterPictureClass(graphicClass);
}

void TFileFormatList::RemoveFormat(const std::string& extension, TGraphicClass graphicClass) {
    if (!extension.empty()) {
        const int index = IndexOfExtension(extension);
        if (index < 0) return;
        TClassEntry* classEntry = extensions_[size_t(index)]->ClassReference;
        if (--classEntry->Count == 0) RemoveClassEntry(classEntry);
        extensions_.erase(extensions_.begin() + index);
        return;
    }
    const int classIndex = IndexOfClass(graphicClass);
    if (classIndex < 0) return;
    TClassEntry* classEntry = classes_[size_t(classIndex)].get();
    for (size_t i = extensions_.size(); i-- > 0 && classEntry->Count > 0;) {
        if (extensions_[i]->ClassReference != classEntry) continue;
        --classEntry->Count;
        extensions_.erase(extensions_.begin() + std::ptrdiff_t(i));
    }
    RemoveClassEntry(classEntry);
}

void TFileFormatList::RemoveAll() {
    for (const auto& entry : classes_) UnregisterPictureClass(entry->GraphicClass);
    classes_.clear();
    extensions_.clear();
}

std::span<const TFormatRegistration> FormatRegistrations() {
    return RegistrationTable();
}
std::span<const TFormatRemoval> FormatRemovals() {
    return RemovalOrder();
}

void RegisterFormats(TFileFormatList& list, std::span<const TFormatRegistration> rows) {
    for (const TFormatRegistration& row : rows)
        list.AddFormat(row.Extension, row.CommonDescription, row.IndividualDescription,
                       row.FileKinds, row.GraphicClass());
}

void UnregisterFormats(TFileFormatList& list, std::span<const TFormatRemoval> steps) {
    for (const TFormatRemoval& step : steps) list.RemoveFormat(step.Extension, step.GraphicClass());
}

TFileFormatList* FileFormatList() {
    return g_fileFormatList.get();
}

void InitializeImaging() {
    if (g_initCount++ != 0) return;
    GetFileFormats();
    InitializeJPEGImage();
    g_fileFormatList = std::make_unique<TFileFormatList>();
    RegisterFormats(*g_fileFormatList, FormatRegistrations());
}

void FinalizeImaging() {
    if (g_initCount == 0 || --g_initCount != 0) return;
    if (g_fileFormatList) {
        UnregisterFormats(*g_fileFormatList, FormatRemovals());
        g_fileFormatList.reset();
    }
    FinalizeJPEGImage();
    FinalizePictureFormats();
}
