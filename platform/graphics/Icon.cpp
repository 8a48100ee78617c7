#include "platform/graphics/Icon.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Stream.h"
#include "platform/graphics/SystemImageReader.h"

DEFINE_GRAPHIC_CLASS(TIcon, TGraphic)

void TIcon::LoadFromStream(TStream& stream) {
    // An icon image is at most 256 x 256 pixels; the cap only bounds what a lying file costs.
    std::vector<uint8_t> holder;
    const std::span<const uint8_t> data =
        ViewRest(stream, CheckedAdd(TBitmap::MaxPixelBytes(), 1 << 20), holder);
    Progress(psStarting, 0, false, {}, "");
    DecodeWithSystemReader(bitmap_, data, "ico", bfDevice, "icon");
    Progress(psRunning, 100, true, {0, 0, Width(), Height()}, "");
    Progress(psEnding, 0, false, {}, "");
}
