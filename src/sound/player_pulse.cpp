#include "sound/player.h"

#include "sound/decoder_pulse.h"
#include "sound/loop_wakeup_pulse.h"
#include "sound/mailbox.h"
#include "sound/tone.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace korvane {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// PipeWire drops a few milliseconds from the end of a stream that runs dry.
constexpr auto Trailing_Silence = 30ms;
// How often a lost or absent server is looked for again.
constexpr pa_usec_t Retry_Usec = 1'000'000;
// Server-side buffering asked for: small, so sinks that cannot rewind start late by
// at most this much.
constexpr pa_usec_t Target_Latency_Usec = 10'000;
// A synchronous play asks the server where it is twice: right after the start, and
// this long before the expected end, to correct for any drift.
constexpr auto Refine_Before_End = 20ms;
// The longest wait for the server's timing reply; the sound's own length is waited
// for anyway, so a short sound waits less.
constexpr auto Timing_Reply_Limit = 100ms;
constexpr auto Shortest_Reply_Wait = 5ms;
// A synchronous play never blocks longer than the sound plus this, whatever the server.
constexpr auto Longest_Overrun = 1s;
// A server that has not let the player in this long after it asked is taken for none.
constexpr pa_usec_t Connect_Limit_Usec = 2'000'000;
// A synchronous play waits this long at most to hear whether its sound started; libpulse's
// thread answers within microseconds unless the machine is badly overloaded.
constexpr auto Start_Reply_Limit = 100ms;

constexpr pa_sample_spec Stream_Format{PA_SAMPLE_FLOAT32NE, Player_Rate, Player_Channels};

class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* loop)
        : loop_(loop) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// A sound for libpulse's thread to start, or none to silence the stream. `ticket` is
// non-zero when the caller waits to hear whether it started.
struct PlayRequest {
    std::shared_ptr<const SoundBuffer> sound;
    std::uint64_t ticket = 0;
};

// Plays through one long-lived playback stream on libpulse's own thread. Every sound is
// written whole into the server's buffer, so a blocked or busy GUI thread cannot starve
// it. A play call never takes the mainloop lock, which libpulse's thread holds while it
// works (for milliseconds at times): it leaves the sound in a lock-free mailbox and
// wakes the thread. Between starts the stream is corked. All members but the cache, the
// mailbox, the wake flag and the event counters belong to the mainloop lock.
class PulseSoundPlayer final : public SoundPlayer {
public:
    explicit PulseSoundPlayer(std::chrono::milliseconds restAfter);
    ~PulseSoundPlayer() override;
    PulseSoundPlayer(const PulseSoundPlayer&) = delete;
    PulseSoundPlayer& operator=(const PulseSoundPlayer&) = delete;

    void playAsync(const QString& fileName) override;
    void playSync(const QString& fileName) override;
    void prepare(const QString& fileName) override { cache_.prepare(fileName); }
    SoundFileState fileState(const QString& fileName, std::chrono::milliseconds wait) override {
        return cache_.state(fileName, wait);
    }
    void wake() override;
    void stop() override { post({nullptr, 0}); }
    SoundOutput output() const override { return output_.load(std::memory_order_acquire); }
    QString outputDevice() const override;

private:
    std::shared_ptr<const SoundBuffer> soundFor(const QString& fileName);
    bool canSignal() const { return wakeup_ != nullptr && wakeup_->isValid(); }
    void post(PlayRequest request);
    bool startAndConfirm(std::shared_ptr<const SoundBuffer> sound);
    void takeRequestsLocked();
    void answer(std::uint64_t ticket, bool started);
    bool startLocked(std::shared_ptr<const SoundBuffer> sound);
    void silenceLocked();
    void keepAwakeLocked(pa_usec_t until);
    void applyRestLocked();
    void writeLocked(std::size_t limit);
    bool streamReadyLocked() const;
    std::optional<Clock::time_point> expectedEnd(Clock::duration replyLimit);
    void waitUntilPlayed(Clock::time_point start, const SoundBuffer& sound);

    void connectLocked();
    void openStreamLocked();
    void closeStreamLocked();
    void disconnectLocked();
    void scheduleRetryLocked();
    void notifyWaiter(bool timingReply);
    void setOutputLocked(SoundOutput output);
    void outputGoneLocked(SoundOutput neverReady);
    void lookUpDeviceLocked();
    void setDevice(const QString& description);

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWritable(pa_stream* stream, size_t bytes, void* self);
    static void onTimingUpdate(pa_stream* stream, int success, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                        void* self);
    static void onRestDue(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                          void* self);
    static void onConnectDue(pa_mainloop_api* api, pa_time_event* event, const timeval* time,
                             void* self);
    static void onStreamMoved(pa_stream* stream, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    std::unique_ptr<LoopWakeup> wakeup_;
    LatestValueMailbox<PlayRequest> requests_;
    std::atomic<bool> wakeRequested_{false};
    std::uint64_t lastTicket_ = 0; // the calling thread's
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* retry_ = nullptr;
    pa_time_event* connectDue_ = nullptr;
    // Set on libpulse's thread, read anywhere. `everReady_` tells a lost output from one
    // that never was.
    std::atomic<SoundOutput> output_{SoundOutput::Unknown};
    bool everReady_ = false;
    mutable std::mutex deviceMutex_;
    QString device_;
    // The stream runs until then (libpulse's monotonic clock), corked after.
    pa_usec_t awakeUntil_ = 0;
    pa_time_event* restDue_ = nullptr;
    std::shared_ptr<const SoundBuffer> playing_;
    std::size_t writtenBytes_ = 0;

    // Wakes a synchronous play waiting for the server, without holding the mainloop lock.
    std::mutex eventMutex_;
    std::condition_variable eventArrived_;
    std::uint64_t events_ = 0;
    std::uint64_t timingReplies_ = 0;
    std::uint64_t answeredTicket_ = 0;
    bool answeredStarted_ = false;

    SoundFileCache cache_{std::chrono::duration_cast<std::chrono::milliseconds>(Trailing_Silence),
                          [this] { notifyStatus(); }};
    std::shared_ptr<const SoundBuffer> defaultTone_;
    const pa_usec_t restAfterUsec_;
};

std::shared_ptr<const SoundBuffer> makeDefaultSound() {
    SoundBuffer tone = toPlayerFormat(makeDefaultTone(Player_Rate), 1, Player_Rate);
    appendSilence(tone, Trailing_Silence);
    return std::make_shared<const SoundBuffer>(std::move(tone));
}

pa_usec_t bytesToUsec(std::size_t bytes) {
    return pa_bytes_to_usec(bytes, &Stream_Format);
}

PulseSoundPlayer::PulseSoundPlayer(std::chrono::milliseconds restAfter)
    : defaultTone_(makeDefaultSound())
    , restAfterUsec_(static_cast<pa_usec_t>(restAfter.count()) * PA_USEC_PER_MSEC) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr) {
        return;
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        return;
    }
    const MainloopLock lock(loop_);
    wakeup_ = std::make_unique<LoopWakeup>(pa_threaded_mainloop_get_api(loop_),
                                           [this] { takeRequestsLocked(); });
    connectLocked();
}

PulseSoundPlayer::~PulseSoundPlayer() {
    if (loop_ == nullptr) {
        return;
    }
    {
        const MainloopLock lock(loop_);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        for (pa_time_event** event : {&retry_, &restDue_, &connectDue_}) {
            if (*event != nullptr) {
                api->time_free(*event);
                *event = nullptr;
            }
        }
        wakeup_.reset();
        disconnectLocked();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseSoundPlayer::playAsync(const QString& fileName) {
    post({soundFor(fileName), 0});
}

void PulseSoundPlayer::playSync(const QString& fileName) {
    const auto start = Clock::now();
    const auto sound = soundFor(fileName);
    if (startAndConfirm(sound)) {
        waitUntilPlayed(start, *sound);
    } else {
        std::this_thread::sleep_until(start + sound->audibleLength());
    }
}

// Never waits: a file not decoded by now plays the default tone this time.
std::shared_ptr<const SoundBuffer> PulseSoundPlayer::soundFor(const QString& fileName) {
    auto sound = cache_.find(fileName, std::chrono::milliseconds(0));
    return sound ? sound : defaultTone_;
}

QString PulseSoundPlayer::outputDevice() const {
    const std::lock_guard lock(deviceMutex_);
    return device_;
}

// The caller's whole share of a play: an atomic exchange and one write().
void PulseSoundPlayer::post(PlayRequest request) {
    if (!canSignal()) {
        return;
    }
    requests_.post(std::move(request));
    wakeup_->signal();
}

void PulseSoundPlayer::wake() {
    if (!canSignal()) {
        return;
    }
    wakeRequested_.store(true, std::memory_order_release);
    wakeup_->signal();
}

// Posts the sound and waits for libpulse's thread to say whether it started.
bool PulseSoundPlayer::startAndConfirm(std::shared_ptr<const SoundBuffer> sound) {
    const std::uint64_t ticket = ++lastTicket_;
    post({std::move(sound), ticket});
    std::unique_lock guard(eventMutex_);
    eventArrived_.wait_for(guard, Start_Reply_Limit, [&] { return answeredTicket_ >= ticket; });
    return answeredTicket_ == ticket && answeredStarted_;
}

// On libpulse's thread, when woken by a play call. A sound replaced in the mailbox before
// this ran was cut by its successor anyway.
void PulseSoundPlayer::takeRequestsLocked() {
    if (wakeRequested_.exchange(false, std::memory_order_acquire)) {
        keepAwakeLocked(pa_rtclock_now() + restAfterUsec_);
    }
    if (std::optional<PlayRequest> request = requests_.take()) {
        if (!request->sound) {
            silenceLocked();
            return;
        }
        const bool started = startLocked(std::move(request->sound));
        if (request->ticket != 0) {
            answer(request->ticket, started);
        }
    }
}

void PulseSoundPlayer::answer(std::uint64_t ticket, bool started) {
    {
        const std::lock_guard guard(eventMutex_);
        answeredTicket_ = ticket;
        answeredStarted_ = started;
    }
    eventArrived_.notify_all();
}

bool PulseSoundPlayer::streamReadyLocked() const {
    return stream_ != nullptr && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

// Cuts whatever is playing and queues the new sound in its place. A corked stream is
// un-corked only once the sound is queued, so none of its beginning is lost.
bool PulseSoundPlayer::startLocked(std::shared_ptr<const SoundBuffer> sound) {
    if (!streamReadyLocked()) {
        return false;
    }
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr)) {
        pa_operation_unref(flush);
    }
    playing_ = std::move(sound);
    writtenBytes_ = 0;
    // The server refuses more than its buffer's maximum in one go; a sound longer than
    // that (about ten seconds) is topped up from the write callback on libpulse's thread.
    const pa_buffer_attr* attr = pa_stream_get_buffer_attr(stream_);
    writeLocked(attr != nullptr ? attr->maxlength : playing_->bytes());
    keepAwakeLocked(pa_rtclock_now() + bytesToUsec(playing_->bytes()) + restAfterUsec_);
    return true;
}

void PulseSoundPlayer::silenceLocked() {
    playing_.reset();
    writtenBytes_ = 0;
    if (!streamReadyLocked())
        return;
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr))
        pa_operation_unref(flush);
}

void PulseSoundPlayer::keepAwakeLocked(pa_usec_t until) {
    awakeUntil_ = std::max(awakeUntil_, until);
    applyRestLocked();
}

// Corks or un-corks the stream as awakeUntil_ says, and sets the time to cork it.
void PulseSoundPlayer::applyRestLocked() {
    if (!streamReadyLocked()) {
        return;
    }
    const bool awake = pa_rtclock_now() < awakeUntil_;
    if ((pa_stream_is_corked(stream_) == 1) == awake) {
        if (pa_operation* cork = pa_stream_cork(stream_, awake ? 0 : 1, nullptr, nullptr)) {
            pa_operation_unref(cork);
        }
    }
    if (!awake) {
        return;
    }
    if (restDue_ == nullptr) {
        restDue_ = pa_context_rttime_new(context_, awakeUntil_, onRestDue, this);
    } else {
        pa_context_rttime_restart(context_, restDue_, awakeUntil_);
    }
}

void PulseSoundPlayer::writeLocked(std::size_t limit) {
    if (!playing_) {
        return;
    }
    const std::size_t frameBytes = pa_frame_size(&Stream_Format);
    const std::size_t bytes =
        std::min(playing_->bytes() - writtenBytes_, limit) / frameBytes * frameBytes;
    if (bytes == 0) {
        return;
    }
    const auto* data = reinterpret_cast<const char*>(playing_->samples.data()) + writtenBytes_;
    if (pa_stream_write(stream_, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) == 0) {
        writtenBytes_ += bytes;
    }
}

// When the audible part of the current sound ends, by the server's clock; empty when the
// server cannot tell (gone, or no reply in time).
std::optional<Clock::time_point> PulseSoundPlayer::expectedEnd(Clock::duration replyLimit) {
    std::uint64_t repliesBefore = 0;
    std::uint64_t eventsBefore = 0;
    {
        const MainloopLock lock(loop_);
        if (!streamReadyLocked()) {
            return std::nullopt;
        }
        {
            const std::lock_guard guard(eventMutex_);
            repliesBefore = timingReplies_;
            eventsBefore = events_;
        }
        pa_operation* update = pa_stream_update_timing_info(stream_, onTimingUpdate, this);
        if (update == nullptr) {
            return std::nullopt;
        }
        pa_operation_unref(update);
    }
    {
        std::unique_lock guard(eventMutex_);
        const bool replied = eventArrived_.wait_for(guard, replyLimit, [&] {
            return timingReplies_ != repliesBefore || events_ != eventsBefore;
        });
        if (!replied || timingReplies_ == repliesBefore) {
            return std::nullopt;
        }
    }
    const MainloopLock lock(loop_);
    pa_usec_t latency = 0;
    int negative = 0;
    if (!streamReadyLocked() || !playing_ ||
        pa_stream_get_latency(stream_, &latency, &negative) < 0) {
        return std::nullopt;
    }
    // Latency covers what is written; add what is not yet, less the trailing silence.
    const pa_usec_t unwritten = bytesToUsec(playing_->bytes() - writtenBytes_);
    const pa_usec_t silence =
        bytesToUsec((playing_->frames() - playing_->audibleFrames) * pa_frame_size(&Stream_Format));
    const auto remaining = static_cast<std::int64_t>(negative != 0 ? 0 : latency) +
                           static_cast<std::int64_t>(unwritten) -
                           static_cast<std::int64_t>(silence);
    return Clock::now() + std::chrono::microseconds(std::max<std::int64_t>(remaining, 0));
}

// Blocks until the sound's audible part has been played, never returning before its
// length has passed since the call nor long after.
void PulseSoundPlayer::waitUntilPlayed(Clock::time_point start, const SoundBuffer& sound) {
    const auto earliest = start + sound.audibleLength();
    const auto latest = earliest + Longest_Overrun;
    const auto bounded = [&](std::optional<Clock::time_point> end, Clock::time_point fallback) {
        return std::clamp(end.value_or(fallback), earliest, latest);
    };
    const auto firstLimit = std::clamp<Clock::duration>(earliest - Clock::now(),
                                                        Shortest_Reply_Wait, Timing_Reply_Limit);
    auto end = bounded(expectedEnd(firstLimit), earliest);
    if (end - Clock::now() > 2 * Refine_Before_End) {
        std::this_thread::sleep_until(end - Refine_Before_End);
        end = bounded(expectedEnd(Refine_Before_End), end);
    }
    std::this_thread::sleep_until(end);
}

void PulseSoundPlayer::connectLocked() {
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Korvane");
    if (context_ == nullptr) {
        outputGoneLocked(SoundOutput::NoServer);
        return;
    }
    pa_context_set_state_callback(context_, onContextState, this);
    // Never start a server: with none running the attempt fails at once.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        outputGoneLocked(SoundOutput::NoServer);
        scheduleRetryLocked();
        return;
    }
    // A server that takes the connection but never answers is no server either.
    connectDue_ =
        pa_context_rttime_new(context_, pa_rtclock_now() + Connect_Limit_Usec, onConnectDue, this);
}

void PulseSoundPlayer::setOutputLocked(SoundOutput output) {
    if (output == SoundOutput::Ready) {
        everReady_ = true;
    }
    if (output_.exchange(output, std::memory_order_acq_rel) != output) {
        notifyStatus();
    }
}

// Once the riders have heard the start from an output, its going is news of its own.
void PulseSoundPlayer::outputGoneLocked(SoundOutput neverReady) {
    setOutputLocked(everReady_ ? SoundOutput::Lost : neverReady);
}

void PulseSoundPlayer::setDevice(const QString& description) {
    {
        const std::lock_guard lock(deviceMutex_);
        if (device_ == description) {
            return;
        }
        device_ = description;
    }
    notifyStatus();
}

// Asks the server which device the stream plays on; the answer sets the output.
void PulseSoundPlayer::lookUpDeviceLocked() {
    if (!streamReadyLocked()) {
        return;
    }
    if (pa_operation* info = pa_context_get_sink_info_by_index(
            context_, pa_stream_get_device_index(stream_), onSinkInfo, this)) {
        pa_operation_unref(info);
    }
}

void PulseSoundPlayer::openStreamLocked() {
    closeStreamLocked();
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    stream_ = pa_stream_new(context_, "Start sounds", &Stream_Format, &map);
    if (stream_ == nullptr) {
        scheduleRetryLocked();
        return;
    }
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_write_callback(stream_, onWritable, this);
    pa_stream_set_moved_callback(stream_, onStreamMoved, this);
    // prebuf 0: play whatever arrives at once and keep running through silence, so the
    // sink stays awake and a flush followed by a write starts the new sound immediately.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(Target_Latency_Usec, &Stream_Format));
    attr.prebuf = 0;
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    // No interpolated timing: the latency is read right after a fresh timing reply, and
    // the interpolating clock stands still while the server says the stream is not
    // playing, as PipeWire does right after a flush: a synchronous play then waited for
    // everything ever written, up to a second too long.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0) {
        closeStreamLocked();
        outputGoneLocked(SoundOutput::StreamFailed);
        scheduleRetryLocked();
    }
}

void PulseSoundPlayer::closeStreamLocked() {
    playing_.reset();
    writtenBytes_ = 0;
    if (stream_ == nullptr) {
        return;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseSoundPlayer::disconnectLocked() {
    closeStreamLocked();
    if (connectDue_ != nullptr) {
        pa_threaded_mainloop_get_api(loop_)->time_free(connectDue_);
        connectDue_ = nullptr;
    }
    if (context_ == nullptr) {
        return;
    }
    pa_context_set_state_callback(context_, nullptr, nullptr);
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        pa_context_disconnect(context_);
    }
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseSoundPlayer::scheduleRetryLocked() {
    if (retry_ != nullptr) {
        return;
    }
    if (context_ != nullptr) {
        // On the monotonic clock, so a change of the wall clock cannot delay it.
        retry_ = pa_context_rttime_new(context_, pa_rtclock_now() + Retry_Usec, onRetry, this);
        return;
    }
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, Retry_Usec);
    retry_ = api->time_new(api, &when, onRetry, this);
}

void PulseSoundPlayer::notifyWaiter(bool timingReply) {
    {
        const std::lock_guard guard(eventMutex_);
        ++events_;
        if (timingReply) {
            ++timingReplies_;
        }
    }
    eventArrived_.notify_all();
}

void PulseSoundPlayer::onContextState(pa_context* context, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (player->connectDue_ != nullptr) {
            pa_threaded_mainloop_get_api(player->loop_)->time_free(player->connectDue_);
            player->connectDue_ = nullptr;
        }
        player->openStreamLocked();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        player->closeStreamLocked();
        player->outputGoneLocked(SoundOutput::NoServer);
        player->scheduleRetryLocked();
        break;
    default:
        break;
    }
    player->notifyWaiter(false);
}

void PulseSoundPlayer::onStreamState(pa_stream* stream, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        player->applyRestLocked(); // a new stream starts corked; a start may be under way
        player->lookUpDeviceLocked();
    } else if (!PA_STREAM_IS_GOOD(state)) {
        // A server with nothing to play on refuses the stream for want of a sink.
        const bool noSink = pa_context_errno(player->context_) == PA_ERR_NOENTITY;
        player->outputGoneLocked(noSink ? SoundOutput::NoDevice : SoundOutput::StreamFailed);
        player->scheduleRetryLocked();
    }
    player->notifyWaiter(false);
}

void PulseSoundPlayer::onStreamMoved(pa_stream*, void* self) {
    static_cast<PulseSoundPlayer*>(self)->lookUpDeviceLocked();
}

// The server's answer about the stream's device. Its fallback sink that stands in when no
// device is there ("auto_null") plays to nowhere.
void PulseSoundPlayer::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    if (eol != 0 || info == nullptr) {
        return;
    }
    const bool dummy = qstrcmp(info->name, "auto_null") == 0;
    player->setDevice(dummy ? QString() : QString::fromUtf8(info->description));
    player->setOutputLocked(dummy ? SoundOutput::NoDevice : SoundOutput::Ready);
}

void PulseSoundPlayer::onConnectDue(pa_mainloop_api* api, pa_time_event* event, const timeval*,
                                    void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    api->time_free(event);
    player->connectDue_ = nullptr;
    player->disconnectLocked();
    player->outputGoneLocked(SoundOutput::NoServer);
    player->scheduleRetryLocked();
}

void PulseSoundPlayer::onWritable(pa_stream*, size_t bytes, void* self) {
    static_cast<PulseSoundPlayer*>(self)->writeLocked(bytes);
}

void PulseSoundPlayer::onTimingUpdate(pa_stream*, int, void* self) {
    static_cast<PulseSoundPlayer*>(self)->notifyWaiter(true);
}

// Runs on libpulse's thread: reopens the stream if only that was lost, else reconnects.
void PulseSoundPlayer::onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*,
                               void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    api->time_free(event);
    player->retry_ = nullptr;
    if (player->context_ != nullptr && pa_context_get_state(player->context_) == PA_CONTEXT_READY) {
        if (player->stream_ == nullptr ||
            !PA_STREAM_IS_GOOD(pa_stream_get_state(player->stream_))) {
            player->openStreamLocked();
        }
        return;
    }
    player->disconnectLocked();
    player->connectLocked();
}

void PulseSoundPlayer::onRestDue(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    static_cast<PulseSoundPlayer*>(self)->applyRestLocked();
}

} // namespace

std::unique_ptr<SoundPlayer> createSystemSoundPlayer(std::chrono::milliseconds restAfter) {
    return std::make_unique<PulseSoundPlayer>(restAfter);
}

} // namespace korvane
