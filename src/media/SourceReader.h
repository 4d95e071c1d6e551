#pragma once

#include "media/Asset.h"
#include "media/FfmpegHandles.h"
#include "media/MediaTime.h"
#include "media/StageOutcome.h"

#include <cstdint>
#include <string>

namespace lento {

// One stream of a source file opened for decoding; the file's other streams are skipped.
struct SourceStream {
    std::string path;
    int streamIndex = -1;
    InputContextPtr format;
    CodecContextPtr decoder;
    AVRational timeBase{1, 1};
    int64_t origin = 0; // the asset's start, in timeBase units

    int64_t fileSize = -1; // in bytes when opened; -1 when the input cannot tell

    // Probing reads the first stretch of every stream; a stream only decoded can often do
    // without, a copied one needs what it finds.
    enum class Probing { Full, HeaderWhereEnough };
    StageOutcome open(const AssetTrack& track, int decoderThreads, Probing probing = Probing::Full);
    bool isSame(const AssetTrack& track) const;
    // Where a frame stamped `stamp` (in timeBase units, origin included) lies on the source's
    // timeline.
    MediaTime timeAt(int64_t stamp) const {
        return MediaTime::make((stamp - origin) * timeBase.num, timeBase.den);
    }
    // Seeks to the key frame at or before `timestamp` (in timeBase units, origin included) and
    // empties the decoder. False when the file cannot seek there.
    bool seek(int64_t timestamp);
    // Reads the file's next packet into `packet`, succeeding with `ended` set at the end of the
    // file. Only the end of the file ends the input: a read error fails with the system's
    // reason, and so does a file that has become shorter since it was opened (cut by another
    // program, or on a medium that went away), which the demuxer takes for its end.
    StageOutcome readPacket(AVPacket& packet, bool& ended);
    // Reads the file's next packet and hands it to the decoder when it is this stream's, or
    // tells the decoder the input has ended (setting `inputEnded`). A damaged packet is dropped
    // and decoding goes on; reading fails as `readPacket` says, and decoding when memory runs
    // out, the message naming `what` was being decoded.
    StageOutcome feedDecoder(AVPacket& packet, bool& inputEnded, const char* what);
};

// A source stream read for decoding from a place in it, for the pictures and the sound alike.
//
// Going to a place: a reader that has read nothing yet and is asked for its stream's start (or
// earlier) just reads on, as seeking there is where MPEG transport and program streams go
// wrong; otherwise it seeks to the key frame at or before the place, and where the file cannot
// seek, it reads the stream from its top. Not every demuxer lands where it is asked to: the
// first frame decoded after a seek tells, and one past the place sends the reader back to the
// top too. Each time the stream starts anew its caller forgets what it had decoded.
class SourceReader {
public:
    StageOutcome open(const AssetTrack& track, int decoderThreads);

    const AssetTrack& track() const { return m_track; }
    SourceStream& stream() { return m_stream; }
    const SourceStream& stream() const { return m_stream; }

    // Makes the next frame decoded the one at `time` on the source's timeline or an earlier one,
    // going `lead` earlier still (sound frames overlap, and a decoder needs one to settle);
    // `restarted` says whether the stream was opened anew at its top.
    StageOutcome seek(MediaTime time, bool& restarted, MediaTime lead = MediaTime::zero());
    // Told the time of each frame decoded (invalid for a frame without one): right after a seek,
    // one past the place asked for reopens the stream at its top, setting `restarted`, and the
    // frame is to be dropped.
    StageOutcome checkLanding(MediaTime frameTime, bool& restarted);
    // Something was read: a later seek to the start seeks.
    void noteRead() { m_fresh = false; }

private:
    StageOutcome restart();

    AssetTrack m_track;
    SourceStream m_stream;
    int m_decoderThreads = 1;
    bool m_fresh = true; // nothing read since the file was opened
    bool m_checkLanding = false;
    MediaTime m_wanted = MediaTime::invalid();
};

} // namespace lento
