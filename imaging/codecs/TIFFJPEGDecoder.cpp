#include "imaging/codecs/TIFFJPEGDecoder.h"

#include "imaging/ColorManager.h"
#include "imaging/ImageGraphic.h"
#include "platform/graphics/Exceptions.h"
#include "platform/graphics/ImageMessages.h"
#include "platform/graphics/MemoryBudget.h"
#include "platform/graphics/Warning.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <jpeglib.h>

// After jpeglib.h, which it needs.
#include <jerror.h>

// libjpeg reports fatal errors through its error exit, which must not return. It jumps back
// with longjmp into the small C-style step functions below: each arms the jump point, makes
// its libjpeg calls and answers false after a jump. Nothing with a destructor lives in a
// step's frame, so the jump skips no cleanup; the decoder owns the libjpeg object and frees
// it whatever happens. The callbacks libjpeg makes only set fields of the state.
struct TTIFFJPEGDecoder::TState {
    jpeg_decompress_struct Info;
    jpeg_error_mgr Errors;
    jpeg_source_mgr Source;
    jpeg_progress_mgr Progress;
    std::jmp_buf Jump;
    int Code;
    bool Created;
    // The data the source manager hands out: the tables or the current strip.
    const JOCTET* Data;
    size_t Size;
    // Set when libjpeg asked for data past the end.
    bool EndOfInput;
    // Scans x blocks so far over the load, the limit, the blocks of the current strip and the
    // last scan of it counted.
    uint64_t Work;
    uint64_t WorkLimit;
    uint64_t Blocks;
    int ScansCounted;
};

namespace {

using TState = TTIFFJPEGDecoder::TState;

const JOCTET EndOfImage[2] = {0xFF, JPEG_EOI};

TState* StateOf(j_common_ptr info) {
    return reinterpret_cast<TState*>(reinterpret_cast<char*>(info) - offsetof(TState, Info));
}

void ErrorExit(j_common_ptr info) {
    TState* state = StateOf(info);
    state->Code = info->err->msg_code;
    std::longjmp(state->Jump, 1);
}

// Warnings and trace messages are discarded.
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}

// Codes of the stops the monitor makes, beside libjpeg's own (which are not negative).
constexpr int StopTooManyScans = -1;
constexpr int StopTooMuchWork = -2;

void ProgressMonitor(j_common_ptr info) {
    const auto* d = reinterpret_cast<j_decompress_ptr>(info);
    TState* state = StateOf(info);
    const int scan = std::max(d->input_scan_number, 1);
    if (scan > TTIFFJPEGDecoder::MaxScans) {
        state->Code = StopTooManyScans;
        std::longjmp(state->Jump, 1);
    }
    if (scan > state->ScansCounted) {
        state->Work += state->Blocks * uint64_t(scan - state->ScansCounted);
        state->ScansCounted = scan;
        if (state->Work > state->WorkLimit) {
            state->Code = StopTooMuchWork;
            std::longjmp(state->Jump, 1);
        }
    }
}

void InitSource(j_decompress_ptr info) {
    TState* state = StateOf(reinterpret_cast<j_common_ptr>(info));
    info->src->next_input_byte = state->Data;
    info->src->bytes_in_buffer = state->Size;
}

// Past the end: an end-of-image marker, as if the image ended there.
boolean FillInputBuffer(j_decompress_ptr info) {
    StateOf(reinterpret_cast<j_common_ptr>(info))->EndOfInput = true;
    info->src->next_input_byte = EndOfImage;
    info->src->bytes_in_buffer = sizeof EndOfImage;
    return TRUE;
}

void SkipInputData(j_decompress_ptr info, long count) {
    if (count <= 0) return;
    if (static_cast<unsigned long>(count) > info->src->bytes_in_buffer) {
        FillInputBuffer(info);
        return;
    }
    info->src->next_input_byte += count;
    info->src->bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

bool StepCreate(TState* state) {
    state->Info.err = jpeg_std_error(&state->Errors);
    state->Errors.error_exit = ErrorExit;
    state->Errors.emit_message = EmitMessage;
    state->Errors.output_message = OutputMessage;
    if (setjmp(state->Jump)) return false;
    jpeg_create_decompress(&state->Info);
    state->Created = true;
    state->Info.mem->max_memory_to_use = TTIFFJPEGDecoder::MaxMemory;
    state->Progress.progress_monitor = ProgressMonitor;
    state->Info.progress = &state->Progress;
    state->Source.init_source = InitSource;
    state->Source.fill_input_buffer = FillInputBuffer;
    state->Source.skip_input_data = SkipInputData;
    state->Source.resync_to_restart = jpeg_resync_to_restart;
    state->Source.term_source = TermSource;
    state->Source.next_input_byte = nullptr;
    state->Source.bytes_in_buffer = 0;
    state->Info.src = &state->Source;
    return true;
}

bool StepReadHeader(TState* state, boolean requireImage, int* result) {
    if (setjmp(state->Jump)) return false;
    *result = jpeg_read_header(&state->Info, requireImage);
    return true;
}

bool StepStart(TState* state, J_COLOR_SPACE in, J_COLOR_SPACE out, unsigned scale) {
    if (setjmp(state->Jump)) return false;
    state->Info.jpeg_color_space = in;
    state->Info.out_color_space = out;
    state->Info.raw_data_out = FALSE;
    state->Info.scale_num = 1;
    state->Info.scale_denom = scale;
    jpeg_start_decompress(&state->Info);
    return true;
}

bool StepReadLines(TState* state, JSAMPARRAY rows, JDIMENSION count, JDIMENSION* lines) {
    if (setjmp(state->Jump)) return false;
    *lines = jpeg_read_scanlines(&state->Info, rows, count);
    return true;
}

bool StepFinish(TState* state) {
    if (setjmp(state->Jump)) return false;
    if (state->Info.output_scanline < state->Info.output_height)
        jpeg_abort_decompress(&state->Info);
    else
        jpeg_finish_decompress(&state->Info);
    return true;
}

[[noreturn]] void RaiseJPEGError(const TState& state) {
    if (state.Code == StopTooMuchWork) throw EImageFault(msgDataTooShort);
    if (state.Code == StopTooManyScans)
        throw EInvalidGraphic(FormatImageMessage(
            msgJPEGErrorText, "0",
            FormatImageMessage(msgJPEGTooManyScans, std::to_string(TTIFFJPEGDecoder::MaxScans))));
    throw EInvalidGraphic(Format(msgJPEGError, state.Code));
}

[[noreturn]] void RaiseCompression(const char* message) {
    throw EGraphicCompression(message);
}

} // namespace

TTIFFJPEGDecoder::TTIFFJPEGDecoder(const TImageProperties& properties, TMemoryBudget* budget,
                                   uint64_t workLimit)
    : properties_(properties), budget_(budget), workLimit_(workLimit) {
    if (!properties.JPEGTables.empty()) {
        tables_ = properties.JPEGTables.data();
        tablesSize_ = properties.JPEGTables.size();
    }
}

TTIFFJPEGDecoder::~TTIFFJPEGDecoder() {
    if (state_ && state_->Created) jpeg_destroy_decompress(&state_->Info);
}

void TTIFFJPEGDecoder::BeginDecoding() {
    if (state_ && state_->Created) jpeg_destroy_decompress(&state_->Info);
    state_ = std::make_unique<TState>();
    TState* state = state_.get();
    state->WorkLimit = workLimit_;
    if (!StepCreate(state)) RaiseJPEGError(*state);

    const auto& subsampling = properties_.YCbCrSubSampling;
    horizontalSampling_ = subsampling.size() >= 2 ? subsampling[0] : 1;
    verticalSampling_ = subsampling.size() >= 2 ? subsampling[1] : 1;

    if (tables_) {
        state->Data = tables_;
        state->Size = tablesSize_;
        state->EndOfInput = false;
        int result = 0;
        if (!StepReadHeader(state, FALSE, &result)) RaiseJPEGError(*state);
        if (result != JPEG_HEADER_TABLES_ONLY) RaiseCompression(msgJPEGBogusTableField);
    }
}

// The strip's size, component count, precision and sampling factors against the properties.
void TTIFFJPEGDecoder::CheckStrip() const {
    const TImageProperties& p = properties_;
    const jpeg_decompress_struct& info = state_->Info;
    const uint32_t rowsLeft = p.Height > p.CurrentRow ? p.Height - p.CurrentRow : 0;
    const uint32_t rowsPerStrip = p.RowsPerStrip.empty() ? p.Height : p.RowsPerStrip[0];
    // A tile is always whole, also at the image's edges; a strip ends with the image.
    const bool tiled = p.Flags.Contains(flTiled);
    const uint32_t expectedWidth = tiled ? p.TileWidth : p.Width;
    const uint32_t expectedHeight = tiled ? p.TileLength : std::min(rowsLeft, rowsPerStrip);
    if (info.image_width != expectedWidth || info.image_height != expectedHeight)
        RaiseCompression(msgJPEGStripSize);
    // Samples are interleaved unless the planes are stored apart (an absent tag means
    // interleaved).
    const bool contiguous = p.PlanarConfig != 2;
    if (info.num_components != (contiguous ? p.SamplesPerPixel : 1))
        RaiseCompression(msgJPEGComponentCount);
    if (info.data_precision != p.BitsPerSample) RaiseCompression(msgJPEGDataPrecision);
    const jpeg_component_info* components = info.comp_info;
    bool sampling = true;
    if (contiguous) {
        sampling = components[0].h_samp_factor == horizontalSampling_ &&
                   components[0].v_samp_factor == verticalSampling_;
        for (int c = 1; c < info.num_components; ++c)
            sampling =
                sampling && components[c].h_samp_factor == 1 && components[c].v_samp_factor == 1;
    } else {
        sampling = components[0].h_samp_factor == 1 && components[0].v_samp_factor == 1;
    }
    if (!sampling) RaiseCompression(msgJPEGSamplingFactors);
}

size_t TTIFFJPEGDecoder::StripMemory() const {
    const jpeg_decompress_struct& info = state_->Info;
    // Progressive strips keep every coefficient of the strip (64 of 2 bytes a block), rounded
    // up to whole rows of MCUs; every strip has a few rows of samples per component.
    size_t memory = 64 * 1024;
    int rows = 1;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        rows = std::max(rows, int(component.v_samp_factor));
        if (info.progressive_mode || info.buffered_image)
            memory += (size_t(component.width_in_blocks) + component.h_samp_factor) *
                      (size_t(component.height_in_blocks) + component.v_samp_factor) *
                      sizeof(JBLOCK);
    }
    memory += size_t(info.image_width) * size_t(info.num_components) * size_t(rows) * DCTSIZE * 4;
    return memory;
}

void TTIFFJPEGDecoder::EndDecoding() {
    if (state_ && state_->Created) jpeg_destroy_decompress(&state_->Info);
    state_.reset();
}

namespace {

// Ends a strip's libjpeg work: shows the end-of-input warning once, and returns the libjpeg
// object to its start state when the strip did not finish normally.
struct TStripGuard {
    TState* State;
    TMemoryBudget* Budget = nullptr;
    size_t Charged = 0;
    bool Finished = false;
    ~TStripGuard() {
        if (!Finished) jpeg_abort_decompress(&State->Info);
        if (Budget) Budget->Release(Charged);
        if (State->EndOfInput) ShowWarning(msgJPEGEndOfInput, msgWarning);
    }
};

} // namespace

void TTIFFJPEGDecoder::Decode(const uint8_t*& input, uint8_t*& output, int32_t inputSize,
                              int32_t outputSize) {
    if (!state_) BeginDecoding();
    TState* state = state_.get();
    jpeg_decompress_struct& info = state->Info;
    jpeg_abort_decompress(&info);
    state->Data = input;
    state->Size = input ? static_cast<size_t>(std::max(inputSize, 0)) : 0;
    state->EndOfInput = false;
    state->ScansCounted = 0;
    state->Blocks = 0;
    TStripGuard guard{state};

    int result = 0;
    if (!StepReadHeader(state, TRUE, &result)) RaiseJPEGError(*state);

    CheckStrip();
    const TImageProperties& p = properties_;
    const jpeg_component_info* components = info.comp_info;

    for (int c = 0; c < info.num_components; ++c)
        state->Blocks += uint64_t(components[c].width_in_blocks) * components[c].height_in_blocks;
    // The strip's memory, charged before libjpeg allocates it; libjpeg may use no more than
    // that and what the budget has left.
    const size_t memory = StripMemory();
    long allowed = MaxMemory;
    if (budget_) {
        budget_->Charge(memory);
        guard.Budget = budget_;
        guard.Charged = memory;
        const size_t left = budget_->Limit() - budget_->Used() + memory;
        allowed = long(std::min<size_t>(left, size_t(std::numeric_limits<long>::max())));
    }
    info.mem->max_memory_to_use = allowed;

    // Three components are delivered in blue, green, red order; others as they are.
    J_COLOR_SPACE in = JCS_UNKNOWN, out = JCS_UNKNOWN;
    if (info.num_components == 3) {
        in = p.ColorModel == cmYCbCr ? JCS_YCbCr : JCS_RGB;
        out = JCS_EXT_BGR;
    }
    if (!StepStart(state, in, out, scale_)) RaiseJPEGError(*state);

    const size_t rowSize = p.BytesPerRow;
    const size_t stride = stride_ ? stride_ : rowSize;
    const size_t size = output ? static_cast<size_t>(std::max(outputSize, 0)) : 0;
    if (rowSize == 0 || stride < rowSize || (stride == rowSize && size % rowSize != 0))
        RaiseCompression(msgJPEGFractionalLine);
    const size_t rows = size >= rowSize ? (size - rowSize) / stride + 1 : 0;
    // libjpeg writes whole lines, a few at a time straight into the rows; lines longer than a
    // row go through a scratch line one at a time.
    const size_t lineBytes = size_t(info.output_width) * size_t(info.output_components);
    std::vector<uint8_t> scratch(lineBytes > rowSize ? lineBytes : 0);
    constexpr size_t Batch = 16;
    JSAMPROW lines[Batch];
    size_t row = 0;
    while (row < rows) {
        const size_t count = scratch.empty() ? std::min(Batch, rows - row) : 1;
        for (size_t i = 0; i < count; ++i)
            lines[i] = scratch.empty() ? output + (row + i) * stride : scratch.data();
        JDIMENSION done = 0;
        if (!StepReadLines(state, lines, JDIMENSION(count), &done)) RaiseJPEGError(*state);
        if (done == 0) break;
        if (!scratch.empty()) std::copy_n(scratch.data(), rowSize, output + row * stride);
        row += done;
    }
    for (; row < rows; ++row) std::fill_n(output + row * stride, rowSize, uint8_t(0));
    if (!StepFinish(state)) RaiseJPEGError(*state);
    guard.Finished = true;
}
