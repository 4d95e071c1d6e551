#pragma once

// The pictures an export of a composition shows, made for playback: from a place on, ahead of
// need, on a worker thread, at the size playback asks for. They come out of the export's own
// picture path (the same reader, retiming and frame stage), so that what plays is what the
// export will be; a picture made at the export's size is the export's own picture.
//
// The consumer (the main thread) never waits: it asks for the picture due at an output time and
// gets it once made. Starting at another place (a seek) drops what was made and begins anew
// there; the worker of the run left behind stops at its next picture and is joined once it has,
// also after the renderer is gone.

#include "media/BoundedQueue.h"
#include "media/Composition.h"
#include "media/ExportPipeline.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace lento {

// The size pictures are made at for playback: the stored size, or `maxWidth` wide where that is
// less, keeping the picture's shape; even sides, 8-bit 4:2:0.
VideoFormat playingFormat(const AssetTrack& track, int maxWidth);

class LiveRenderer {
public:
    // How many pictures a run makes ahead of the one on show.
    static constexpr size_t kAhead = 6;

    // `plan` is the composition's whole export plan (planExport over no range), shared by the
    // renderers of one composition so that it is made once; `ahead` pictures at most are made
    // ahead of the one on show (one for a still).
    LiveRenderer(std::shared_ptr<const Composition> composition,
                 std::shared_ptr<const ExportPlan> plan, VideoFormat format, size_t ahead = kAhead);
    LiveRenderer(std::shared_ptr<const Composition> composition, VideoFormat format);
    // Stops the worker without waiting for it: a worker still making its picture ends on its own.
    ~LiveRenderer();
    LiveRenderer(const LiveRenderer&) = delete;
    LiveRenderer& operator=(const LiveRenderer&) = delete;

    // Whether any stretch of the composition's pictures is made (Blend or Smooth): only then is
    // there anything for playback to show beyond the source's own pictures.
    static bool makesPictures(const ExportPlan& plan);
    // Whether two plans show the same pictures: the same stretches of the same source track,
    // laid and moved alike (plans of compositions that differ in their sound alone).
    static bool showsSamePictures(const ExportPlan& a, const ExportPlan& b);

    const VideoFormat& format() const { return m_format; }
    const std::shared_ptr<const ExportPlan>& plan() const { return m_plan; }
    // The composition's output length.
    MediaTime duration() const { return m_plan->range.duration; }

    // The output time of source time `sourceTime`, where the composition shows it; invalid
    // where it does not.
    MediaTime outputTimeOf(MediaTime sourceTime) const;

    // Whether the picture at output time `at` is made (Blend or Smooth) rather than held.
    bool makesPictureAt(MediaTime at) const;

    // Begins making the pictures from output time `from` on, dropping what was made before:
    // only those from the one on show at `from` on are made. Returns at once (the run's own
    // plan is made on its worker).
    void start(MediaTime from);
    // Stops making pictures; what was made is dropped. Returns at once.
    void stop();
    bool isRunning() const { return m_run != nullptr; }

    // The picture on show at output time `at` (its pts and duration in kVideoTimescale units from
    // the composition's start), once it is made and if it was not handed out before: the
    // pictures before it are dropped, counted in dropped() when they were never handed out.
    // Empty while it is still being made, and for a time before the run's first picture.
    std::optional<VideoItem> take(MediaTime at);
    // Pictures made for the current run but passed over by take() before they were handed out.
    int64_t dropped() const { return m_dropped; }
    // How the current run ended, once its every picture was taken: failed with its reason where
    // the source could not be read. Succeeded while it is still running.
    StageOutcome ending() const;

    // Where a run asked to start at `from` begins: a little earlier, on the grid of made pictures
    // the export keeps there, so that the pictures from `from` on are made from the same
    // neighbours as the export's. In kVideoTimescale units.
    int64_t runStartFor(MediaTime from) const;

private:
    struct Run;
    // Joins the workers of runs left behind that have ended.
    void reap();
    // Takes over `runs`, stopped, until their workers have ended; those still running when the
    // program ends are waited for then.
    static void leave(std::vector<std::unique_ptr<Run>>& runs);

    std::shared_ptr<const Composition> m_composition;
    VideoFormat m_format;
    std::shared_ptr<const ExportPlan> m_plan; // of the whole composition
    size_t m_ahead;
    std::unique_ptr<Run> m_run;
    std::vector<std::unique_ptr<Run>> m_leaving;
    int64_t m_dropped = 0;
};

} // namespace lento
