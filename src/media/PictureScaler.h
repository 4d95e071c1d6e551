#pragma once

// Scales and converts decoded pictures to the export's size and pixel format, in horizontal
// slices on swscale's own threads, so that the decoding thread hands pictures on sooner.

#include "media/FfmpegHandles.h"
#include "media/StageOutcome.h"

namespace lento {

class PictureScaler {
public:
    // Writes `source` scaled into `output`, whose size, format and buffers are set; the context
    // is made again when the source's size or format changes.
    StageOutcome scale(const AVFrame& source, AVFrame& output);

private:
    StageOutcome prepare(const AVFrame& source, const AVFrame& output);

    ScaleContextPtr m_context;
    int m_sourceWidth = 0, m_sourceHeight = 0, m_sourceFormat = AV_PIX_FMT_NONE;
    int m_outputWidth = 0, m_outputHeight = 0, m_outputFormat = AV_PIX_FMT_NONE;
};

} // namespace lento
