#include "platform/graphics/JPEGImage.h"

#include "platform/graphics/Checked.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Picture.h"
#include "platform/graphics/Stream.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <jpeglib.h>

// libjpeg reports fatal errors through its error exit, which must not return. It jumps back
// with longjmp into the small C-style step functions below: each step arms the jump point,
// makes its libjpeg calls and answers false after a jump. Nothing with a destructor lives in
// a step's frame, so the jump skips no cleanup; the C++ side owns the decompressor and frees
// it whatever happens.
namespace {

struct TJpegJob {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr errorManager;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    int code;
    bool created;
};

TJpegJob* JobOf(j_common_ptr cinfo) {
    // The error manager is a member of the job; step back to the job from it.
    return reinterpret_cast<TJpegJob*>(reinterpret_cast<char*>(cinfo->err) -
                                       offsetof(TJpegJob, errorManager));
}

void ErrorExit(j_common_ptr cinfo) {
    TJpegJob* job = JobOf(cinfo);
    job->code = cinfo->err->msg_code;
    cinfo->err->format_message(cinfo, job->message);
    std::longjmp(job->jump, 1);
}

// Warnings (corrupt data that libjpeg can go past) are not shown.
void OutputMessage(j_common_ptr) {}

void ProgressMonitor(j_common_ptr cinfo) {
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > TJPEGImage::MaxScans) {
        TJpegJob* job = JobOf(cinfo);
        job->code = 0;
        std::snprintf(
            job->message, sizeof job->message, "%s",
            FormatImageMessage(msgJPEGTooManyScans, std::to_string(TJPEGImage::MaxScans)).c_str());
        std::longjmp(job->jump, 1);
    }
}

bool StepReadHeader(TJpegJob* job, const uint8_t* data, unsigned long size) {
    job->cinfo.err = jpeg_std_error(&job->errorManager);
    job->errorManager.error_exit = ErrorExit;
    job->errorManager.output_message = OutputMessage;
    if (setjmp(job->jump)) return false;
    job->created = true;
    jpeg_create_decompress(&job->cinfo);
    job->progress.progress_monitor = ProgressMonitor;
    job->cinfo.progress = &job->progress;
    jpeg_mem_src(&job->cinfo, data, size);
    jpeg_read_header(&job->cinfo, TRUE);
    return true;
}

bool StepOutputSize(TJpegJob* job) {
    if (setjmp(job->jump)) return false;
    jpeg_calc_output_dimensions(&job->cinfo);
    return true;
}

bool StepStart(TJpegJob* job) {
    if (setjmp(job->jump)) return false;
    jpeg_start_decompress(&job->cinfo);
    return true;
}

// Reads `count` rows; a source that gives no rows is an error rather than a loop.
bool StepReadRows(TJpegJob* job, JSAMPARRAY rows, JDIMENSION count) {
    if (setjmp(job->jump)) return false;
    for (JDIMENSION done = 0; done < count;) {
        const JDIMENSION n = jpeg_read_scanlines(&job->cinfo, rows + done, count - done);
        if (n == 0) {
            job->code = 0;
            std::snprintf(job->message, sizeof job->message, "%s", msgJPEGNoMoreLines);
            return false;
        }
        done += n;
    }
    return true;
}

struct TJobDeleter {
    void operator()(TJpegJob* job) const {
        if (job->created) jpeg_destroy_decompress(&job->cinfo);
        delete job;
    }
};

[[noreturn]] void Fail(const TJpegJob& job) {
    throw EInvalidGraphic(
        FormatImageMessage(msgJPEGErrorText, std::to_string(job.code), job.message));
}

// Inverted (Adobe) CMYK stores 255 - ink; plain CMYK stores the ink.
void CMYKToBGR(const uint8_t* in, uint8_t* out, int32_t width, bool inverted) {
    for (int32_t x = 0; x < width; ++x, in += 4, out += 3) {
        unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[0] = uint8_t((y * k + 127) / 255);
        out[1] = uint8_t((m * k + 127) / 255);
        out[2] = uint8_t((c * k + 127) / 255);
    }
}

// Refuses a file whose blocks cost more than it can hold, before any row is decoded.
void CheckBlocks(jpeg_decompress_struct& cinfo, size_t fileBytes) {
    size_t blocks = 0;
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info& comp = cinfo.comp_info[c];
        blocks = CheckedAdd(blocks, CheckedMul(comp.width_in_blocks, comp.height_in_blocks));
    }
    // Every Huffman-coded block codes its DC difference in a bit at least, so a whole file
    // holds a byte for every 8 blocks: one that holds less than an eighth of that, a real part
    // of the picture, is refused before its rows cost anything (libjpeg would decode them all
    // from nothing). Arithmetic coding takes a block in far less than a bit.
    const size_t blocksPerByte = cinfo.arith_code ? 2048 : 64;
    if (blocks > CheckedAdd(CheckedMul(fileBytes, blocksPerByte), 65536)) {
        EImageFault fault(msgDataTooShort);
        fault.NameFormat("JPEG");
        throw fault;
    }
    // Files of several scans keep the whole image's coefficients while decoding: they stay
    // within the bitmap's cap too.
    if (jpeg_has_multiple_scans(&cinfo)) {
        const size_t coefficients = CheckedMul(blocks, sizeof(JBLOCK));
        if (coefficients > TBitmap::MaxPixelBytes())
            throw EImageFault(msgJPEGProgressiveTooLarge,
                              {std::to_string(cinfo.image_width),
                               std::to_string(cinfo.image_height),
                               MemorySizeText(TBitmap::MaxPixelBytes())});
    }
}

TPalette GrayPalette() {
    std::vector<TRGBQuad> entries(256);
    for (int i = 0; i < 256; ++i) entries[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    return TPalette(std::move(entries));
}

bool g_registered = false;

} // namespace

DEFINE_GRAPHIC_CLASS(TJPEGImage, TGraphic)

bool TJPEGImage::Recognize(TStream& stream) {
    const int64_t start = stream.Position();
    uint8_t bytes[3] = {};
    const bool read = stream.Read(bytes, sizeof(bytes)) == sizeof(bytes);
    stream.SetPosition(start);
    return read && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

void TJPEGImage::LoadFromStream(TStream& stream) {
    bitmap_.ReleaseImage();
    // Compressed data is smaller than the pixels it decodes to, so the cap bounds the read.
    std::vector<uint8_t> holder;
    const std::span<const uint8_t> data =
        ViewRest(stream, CheckedAdd(TBitmap::MaxPixelBytes(), 1 << 20), holder);
    std::unique_ptr<TJpegJob, TJobDeleter> job(new TJpegJob{});
    if (!StepReadHeader(job.get(), data.data(), static_cast<unsigned long>(data.size())))
        Fail(*job);
    jpeg_decompress_struct& cinfo = job->cinfo;
    progressive_ = cinfo.progressive_mode;
    fullWidth_ = int32_t(std::min<JDIMENSION>(cinfo.image_width, INT32_MAX));
    fullHeight_ = int32_t(std::min<JDIMENSION>(cinfo.image_height, INT32_MAX));

    const bool gray = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = gray ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
    CheckBlocks(cinfo, data.size());

    // Asked for a smaller picture, the decoder scales its transform by 1/2, 1/4 or 1/8.
    const uint32_t shrink = ShrinkFactor(cinfo.image_width, cinfo.image_height, 8);
    cinfo.scale_num = 1;
    cinfo.scale_denom = shrink >= 8 ? 8 : shrink >= 4 ? 4 : shrink >= 2 ? 2 : 1;
    if (!StepOutputSize(job.get())) Fail(*job);

    // The claimed size is checked by the bitmap before libjpeg allocates anything for it.
    bitmap_.SetPixelFormat(gray ? bf8Bit : bf24Bit);
    bitmap_.SetSize(int32_t(std::min<JDIMENSION>(cinfo.output_width, INT32_MAX)),
                    int32_t(std::min<JDIMENSION>(cinfo.output_height, INT32_MAX)));
    try {
        if (gray) bitmap_.SetPalette(GrayPalette());
        const int32_t width = bitmap_.Width(), height = bitmap_.Height();
        Progress(psStarting, 0, false, {0, 0, width, 0}, "");
        if (!StepStart(job.get())) Fail(*job);
        if (cinfo.output_width != JDIMENSION(width) || cinfo.output_height != JDIMENSION(height))
            throw EInvalidGraphic(msgJPEGOutputSize);

        const int32_t chunk = 16;
        std::vector<JSAMPROW> rows(chunk);
        std::vector<uint8_t> cmykRows;
        if (cmyk) cmykRows.resize(CheckedMul(CheckedMul(size_t(width), 4), chunk));
        const bool inverted = cinfo.saw_Adobe_marker;
        for (int32_t y = 0; y < height; y += chunk) {
            const int32_t n = std::min(chunk, height - y);
            for (int32_t i = 0; i < n; ++i)
                rows[i] = cmyk ? cmykRows.data() + size_t(i) * width * 4 : bitmap_.ScanLine(y + i);
            if (!StepReadRows(job.get(), rows.data(), JDIMENSION(n))) Fail(*job);
            if (cmyk)
                for (int32_t i = 0; i < n; ++i)
                    CMYKToBGR(rows[i], bitmap_.ScanLine(y + i), width, inverted);
            const auto percent = uint8_t((int64_t(y + n) * 100 + height / 2) / height);
            Progress(psRunning, percent, true, {0, y, width, y + n}, "");
        }
        Progress(psEnding, 0, false, {0, 0, width, height}, "");
    } catch (...) {
        bitmap_.ReleaseImage();
        throw;
    }
}

void InitializeJPEGImage() {
    if (g_registered) return;
    RegisterPictureFormat("jpeg", msgJPEGFiles, TJPEGImage::ClassRef());
    RegisterPictureFormat("jpg", msgJPEGFiles, TJPEGImage::ClassRef());
    g_registered = true;
}

void FinalizeJPEGImage() {
    if (!g_registered) return;
    UnregisterPictureClass(TJPEGImage::ClassRef());
    g_registered = false;
}
