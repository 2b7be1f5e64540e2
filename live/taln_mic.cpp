// taln-mic: a clean microphone. One command makes a PipeWire virtual source, "Taln — clean
// microphone" (media class Audio/Source), that calls and streaming programs pick as their
// microphone: the default input (or --source NAME) cleaned by the real-time cleaner.
//
// Two streams in one node group, the way PipeWire's own loopback is built: the capture stream
// reads the input, and its process callback, on PipeWire's real-time data thread, cleans the
// quantum straight into the buffer of the source stream and triggers it. The source is made once
// the input's format is known, at the input's own rate and channel count, so that nothing is
// resampled on the way through. The two streams share a link group, so the session manager never
// links the source back into its own input.
//
// It ends, removing the node, on Ctrl+C (SIGINT) and SIGTERM, and when the input disappears: the
// capture stream asks not to be moved elsewhere (node.dont-reconnect), and taln-mic also watches
// the node it reads from. Exit status: 0 after a signal, 1 when the input or PipeWire went away
// or could not be had, 2 for a wrong command line.
//
// Threads: the PipeWire main loop (this program's main thread) makes and ends everything and
// prints; the data thread only cleans, through a RealtimeCleaner built before the streams run.

#include "engine/hum_detector.h"
#include "engine/realtime_cleaner.h"
#include "engine/strength.h"
#include "live/live_plans.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>
#include <spa/utils/result.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace {

constexpr const char* kSourceName = "taln-mic";
constexpr const char* kSourceDescription = "Taln — clean microphone";
// How often the learning state is looked at (and printed when it changed).
constexpr std::uint64_t kStatusNanoseconds = 500'000'000;
// The most samples a quantum may hold (PipeWire's largest is 8192); longer input is cleaned in
// pieces of this size.
constexpr std::int64_t kScratch = 8192;

enum ExitStatus { kDone = 0, kFailed = 1, kUsage = 2 };

struct Options {
    std::optional<std::string> source;
    double percent = taln::Strength::kDefaultPercent;
    int channels = 1;
};

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: taln-mic [--source NAME] [--strength PERCENT] [--stereo]\n"
                 "\n"
                 "Makes a PipeWire microphone, \"%s\", that is the default input (or NAME)\n"
                 "with its steady background noise removed as you speak. Pick it as the\n"
                 "microphone in a call or a streaming program. Ctrl+C removes it.\n"
                 "\n"
                 "  --source NAME       read this input (a node name or serial, as pw-cli ls\n"
                 "                      Node shows) instead of the default one\n"
                 "  --strength PERCENT  how much noise to remove, 0 to 100 (default %.0f)\n"
                 "  --stereo            two linked channels instead of one\n"
                 "  --help, --version\n",
                 kSourceDescription, taln::Strength::kDefaultPercent);
}

// The options, or the exit status when there is nothing to run.
std::variant<Options, int> parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return kDone;
        }
        if (arg == "--version") {
            std::printf("taln-mic %s\n", TALN_VERSION);
            return kDone;
        }
        if (arg == "--stereo") {
            options.channels = 2;
        } else if (arg == "--source" && hasValue) {
            options.source = argv[++i];
        } else if (arg == "--strength" && hasValue) {
            const std::string_view value = argv[++i];
            double percent = -1.0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), percent);
            if (error != std::errc() || end != value.data() + value.size() ||
                !(percent >= 0.0 && percent <= 100.0)) {
                std::fprintf(stderr,
                             "taln-mic: --strength takes a number from 0 to 100, not '%s'\n",
                             argv[i]);
                return kUsage;
            }
            options.percent = percent;
        } else {
            std::fprintf(stderr, "taln-mic: %s '%s'\n\n",
                         arg.starts_with("--") && !hasValue ? "missing value after"
                                                            : "unknown argument",
                         argv[i]);
            printUsage(stderr);
            return kUsage;
        }
    }
    return options;
}

struct Mic {
    Options options;
    int status = kDone;
    pw_main_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    pw_stream* capture = nullptr;
    spa_hook captureListener{};
    pw_stream* source = nullptr;
    spa_hook sourceListener{};
    // The source as the data thread sees it: set once it is connected, cleared before it goes.
    std::atomic<pw_stream*> sourceFlowing{nullptr};
    spa_source* status_timer = nullptr;

    // Made on the main thread once the input's format is known, before any buffer flows; the
    // data thread only uses it. Replaced (after a new format) through the data loop.
    std::unique_ptr<taln::RealtimeCleaner> cleaner;
    std::uint32_t rate = 0;
    std::vector<float> scratch; // the output while no one records from the source
    std::string sourceGroup;

    // The nodes seen (id → description) and those the capture stream reads from.
    std::map<std::uint32_t, std::string> nodes;
    std::set<std::uint32_t> inputs;

    // What was last printed.
    std::string shownState;
    taln::Cleaner::HumMask shownHum = taln::Cleaner::kNoHum;

    void fail(const std::string& message) {
        std::fprintf(stderr, "taln-mic: %s\n", message.c_str());
        std::fflush(stderr);
        status = kFailed;
        pw_main_loop_quit(loop);
    }
};

void say(const std::string& message) {
    std::printf("taln-mic: %s\n", message.c_str());
    std::fflush(stdout);
}

// ---- The data thread ----

// Cleans a quantum of the input straight into the source's buffer (or, with no one recording
// from the source, into scratch: the noise is learned all the same).
void onCaptureProcess(void* data) {
    Mic& mic = *static_cast<Mic*>(data);
    pw_stream* source = mic.sourceFlowing.load(std::memory_order_acquire);
    pw_buffer* in = pw_stream_dequeue_buffer(mic.capture);
    pw_buffer* out = source != nullptr ? pw_stream_dequeue_buffer(source) : nullptr;
    taln::RealtimeCleaner* cleaner = mic.cleaner.get();
    if (in != nullptr && cleaner != nullptr) {
        const int channels = cleaner->channels();
        spa_buffer* ib = in->buffer;
        std::uint32_t samples = UINT32_MAX;
        const float* from[taln::RealtimeCleaner::kMaxChannels] = {};
        for (int c = 0; c < channels; ++c) {
            const spa_data& d = ib->datas[std::min<std::uint32_t>(c, ib->n_datas - 1)];
            samples = std::min(
                samples, d.data != nullptr ? d.chunk->size / std::uint32_t(sizeof(float)) : 0);
            from[c] = d.data != nullptr
                          ? static_cast<const float*>(SPA_PTROFF(d.data, d.chunk->offset, void))
                          : nullptr;
        }
        float* to[taln::RealtimeCleaner::kMaxChannels] = {};
        std::uint32_t room = UINT32_MAX;
        if (out != nullptr) {
            for (int c = 0; c < channels; ++c) {
                spa_data& d =
                    out->buffer->datas[std::min<std::uint32_t>(c, out->buffer->n_datas - 1)];
                to[c] = static_cast<float*>(d.data);
                room = std::min(room,
                                d.data != nullptr ? d.maxsize / std::uint32_t(sizeof(float)) : 0);
            }
        }
        const bool readable =
            samples != UINT32_MAX &&
            std::all_of(from, from + channels, [](const float* p) { return p != nullptr; });
        std::int64_t done = 0;
        const std::int64_t total = readable ? samples : 0;
        while (done < total) {
            const std::int64_t m = std::min<std::int64_t>(total - done, kScratch);
            const float* a[taln::RealtimeCleaner::kMaxChannels] = {};
            float* b[taln::RealtimeCleaner::kMaxChannels] = {};
            for (int c = 0; c < channels; ++c) {
                a[c] = from[c] + done;
                b[c] = out != nullptr && done + m <= room ? to[c] + done
                                                          : mic.scratch.data() + c * kScratch;
            }
            cleaner->process(a, b, m);
            done += m;
        }
        if (out != nullptr) {
            const auto written = static_cast<std::uint32_t>(std::min<std::int64_t>(total, room));
            for (std::uint32_t c = 0; c < out->buffer->n_datas; ++c) {
                spa_data& d = out->buffer->datas[c];
                d.chunk->offset = 0;
                d.chunk->size = written * sizeof(float);
                d.chunk->stride = sizeof(float);
            }
        }
    } else if (out != nullptr) {
        for (std::uint32_t c = 0; c < out->buffer->n_datas; ++c) {
            out->buffer->datas[c].chunk->size = 0;
        }
    }
    if (in != nullptr) {
        pw_stream_queue_buffer(mic.capture, in);
    }
    if (out != nullptr) {
        pw_stream_queue_buffer(source, out);
    }
    if (source != nullptr) {
        pw_stream_trigger_process(source);
    }
}

// ---- The main thread ----

pw_properties* streamProperties(const Mic& mic, bool isSource) {
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_NODE_GROUP, mic.sourceGroup.c_str(),
                          PW_KEY_NODE_LINK_GROUP, mic.sourceGroup.c_str(), nullptr);
    if (isSource) {
        pw_properties_set(props, PW_KEY_MEDIA_CLASS, "Audio/Source");
        pw_properties_set(props, PW_KEY_NODE_NAME, kSourceName);
        pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, kSourceDescription);
        pw_properties_set(props, PW_KEY_MEDIA_NAME, kSourceDescription);
    } else {
        pw_properties_set(props, PW_KEY_MEDIA_CATEGORY, "Capture");
        pw_properties_set(props, PW_KEY_MEDIA_ROLE, "Communication");
        pw_properties_set(props, PW_KEY_NODE_NAME, "taln-mic.input");
        pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, "Taln — clean microphone (its input)");
        pw_properties_set(props, PW_KEY_MEDIA_NAME, "input to clean");
        pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
        if (mic.options.source) {
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, mic.options.source->c_str());
        }
    }
    return props;
}

const spa_pod* formatParam(spa_pod_builder& b, std::uint32_t rate, int channels) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32P;
    info.rate = rate;
    info.channels = static_cast<std::uint32_t>(channels);
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    return spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info);
}

void onCaptureState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    Mic& mic = *static_cast<Mic*>(data);
    // With node.dont-reconnect, the session manager takes the stream away when its input goes,
    // or when there is none to read.
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        const std::string what = !mic.inputs.empty() ? "the input is gone"
                                 : mic.options.source
                                     ? "found no input named '" + *mic.options.source + "'"
                                     : std::string("found no input to read");
        mic.fail(what + (error != nullptr ? std::string(" (") + error + ")" : std::string()));
    }
}

void onSourceState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    Mic& mic = *static_cast<Mic*>(data);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        mic.fail(std::string("the source stopped") +
                 (error != nullptr ? std::string(" (") + error + ")" : std::string()));
    }
}

const pw_stream_events kSourceEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onSourceState;
    return e;
}();

void connectSource(Mic& mic, int channels) {
    mic.source = pw_stream_new(mic.core, "Taln clean microphone", streamProperties(mic, true));
    if (mic.source == nullptr) {
        mic.fail(std::string("cannot make the source: ") + std::strerror(errno));
        return;
    }
    pw_stream_add_listener(mic.source, &mic.sourceListener, &kSourceEvents, &mic);
    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof(buffer));
    const spa_pod* params[2];
    params[0] = formatParam(b, mic.rate, channels);
    // Programs that record from the source learn how late it is.
    spa_process_latency_info latency{};
    latency.rate = static_cast<std::uint32_t>(mic.cleaner->latency());
    params[1] = spa_process_latency_build(&b, SPA_PARAM_ProcessLatency, &latency);
    const int res = pw_stream_connect(
        mic.source, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_TRIGGER),
        params, 2);
    if (res < 0) {
        mic.fail(std::string("cannot make the source: ") + spa_strerror(res));
        return;
    }
    mic.sourceFlowing.store(mic.source, std::memory_order_release);
}

int nothing(spa_loop*, bool, std::uint32_t, const void*, size_t, void*) {
    return 0;
}

// Swaps in a cleaner for a new format on the data thread, between two quanta.
int swapCleaner(spa_loop*, bool, std::uint32_t, const void*, size_t, void* data) {
    auto* pair = static_cast<std::pair<Mic*, std::unique_ptr<taln::RealtimeCleaner>*>*>(data);
    pair->first->cleaner.swap(*pair->second);
    return 0;
}

void onCaptureParam(void* data, std::uint32_t id, const spa_pod* param) {
    Mic& mic = *static_cast<Mic*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) {
        return;
    }
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) < 0 || info.rate == 0 ||
        info.channels != static_cast<std::uint32_t>(mic.options.channels)) {
        mic.fail("the input offers no format taln-mic can clean");
        return;
    }
    if (mic.cleaner && mic.rate == info.rate) {
        return;
    }
    auto cleaner = std::make_unique<taln::RealtimeCleaner>(
        info.rate, mic.options.channels, taln::Strength::fromPercent(mic.options.percent),
        taln::RealtimeCleaner::Hum::watch);
    const bool first = !mic.cleaner;
    if (first) {
        mic.cleaner = std::move(cleaner);
    } else {
        std::pair<Mic*, std::unique_ptr<taln::RealtimeCleaner>*> pair{&mic, &cleaner};
        pw_loop_invoke(pw_data_loop_get_loop(pw_context_get_data_loop(mic.context)), swapCleaner, 0,
                       nullptr, 0, true, &pair);
        // `cleaner` now holds the old one, freed here on the main thread.
    }
    mic.rate = info.rate;
    const double ms = 1000.0 * static_cast<double>(mic.cleaner->latency()) / info.rate;
    char line[256];
    std::snprintf(line, sizeof(line),
                  "\"%s\" is ready: %u Hz, %s, strength %.0f %%, latency %lld samples (%.1f ms)",
                  kSourceDescription, info.rate, mic.options.channels == 1 ? "mono" : "stereo",
                  mic.options.percent, static_cast<long long>(mic.cleaner->latency()), ms);
    if (first) {
        connectSource(mic, mic.options.channels);
    }
    say(line);
}

const pw_stream_events kCaptureEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onCaptureState;
    e.param_changed = onCaptureParam;
    e.process = onCaptureProcess;
    return e;
}();

void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
              const spa_dict* props) {
    Mic& mic = *static_cast<Mic*>(data);
    if (props == nullptr) {
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        mic.nodes[id] = description != nullptr ? description : name != nullptr ? name : "?";
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || mic.capture == nullptr) {
        return;
    }
    const char* input = spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE);
    const char* output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
    if (input == nullptr || output == nullptr ||
        std::strtoul(input, nullptr, 10) != pw_stream_get_node_id(mic.capture)) {
        return;
    }
    const auto from = static_cast<std::uint32_t>(std::strtoul(output, nullptr, 10));
    if (mic.inputs.insert(from).second) {
        const auto node = mic.nodes.find(from);
        say("reading \"" + (node != mic.nodes.end() ? node->second : std::to_string(from)) + "\"");
    }
}

void onGlobalRemove(void* data, std::uint32_t id) {
    Mic& mic = *static_cast<Mic*>(data);
    if (mic.inputs.count(id) != 0) {
        const auto node = mic.nodes.find(id);
        mic.fail("the input \"" + (node != mic.nodes.end() ? node->second : std::to_string(id)) +
                 "\" is gone");
    }
    mic.nodes.erase(id);
}

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = onGlobal;
    e.global_remove = onGlobalRemove;
    return e;
}();

void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    Mic& mic = *static_cast<Mic*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        mic.fail("PipeWire went away");
    } else if (id == PW_ID_CORE) {
        mic.fail(std::string("PipeWire: ") + (message != nullptr ? message : spa_strerror(res)));
    }
}

const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = onCoreError;
    return e;
}();

// Prints the learning state and the hum found when they change.
void onStatusTimer(void* data, std::uint64_t) {
    Mic& mic = *static_cast<Mic*>(data);
    if (!mic.cleaner) {
        return;
    }
    const taln::RealtimeCleaner::Progress p = mic.cleaner->progress();
    std::string state;
    if (p.heardSeconds == 0.0) {
        state = "waiting for sound from the input";
    } else if (!p.settled) {
        state = "learning the noise";
    } else {
        state = "noise learned; following it as it changes";
    }
    if (state != mic.shownState) {
        mic.shownState = state;
        say(state);
    }
    const taln::Cleaner::HumMask hum = mic.cleaner->heardHum();
    if (hum != mic.shownHum) {
        mic.shownHum = hum;
        std::string heard;
        for (int hz : taln::HumDetector::mainsHz(hum)) {
            heard += (heard.empty() ? "hum at " : " and ") + std::to_string(hz);
        }
        say(heard.empty() ? "no hum" : heard + " Hz, taken out with the noise");
    }
}

void onSignal(void* data, int) {
    pw_main_loop_quit(static_cast<Mic*>(data)->loop);
}

int run(Mic& mic) {
    mic.loop = pw_main_loop_new(nullptr);
    if (mic.loop == nullptr) {
        std::fprintf(stderr, "taln-mic: cannot start: %s\n", std::strerror(errno));
        return kFailed;
    }
    pw_loop* loop = pw_main_loop_get_loop(mic.loop);
    pw_loop_add_signal(loop, SIGINT, onSignal, &mic);
    pw_loop_add_signal(loop, SIGTERM, onSignal, &mic);
    mic.context = pw_context_new(loop, nullptr, 0);
    if (mic.context == nullptr) {
        std::fprintf(stderr, "taln-mic: cannot start: %s\n", std::strerror(errno));
        return kFailed;
    }
    mic.core = pw_context_connect(mic.context, nullptr, 0);
    if (mic.core == nullptr) {
        std::fprintf(stderr, "taln-mic: cannot reach PipeWire: %s\n", std::strerror(errno));
        return kFailed;
    }
    pw_core_add_listener(mic.core, &mic.coreListener, &kCoreEvents, &mic);
    mic.sourceGroup = "taln-mic-" + std::to_string(getpid());
    mic.scratch.assign(static_cast<std::size_t>(kScratch * taln::RealtimeCleaner::kMaxChannels),
                       0.0f);

    mic.capture =
        pw_stream_new(mic.core, "Taln clean microphone input", streamProperties(mic, false));
    if (mic.capture == nullptr) {
        std::fprintf(stderr, "taln-mic: cannot read the input: %s\n", std::strerror(errno));
        return kFailed;
    }
    pw_stream_add_listener(mic.capture, &mic.captureListener, &kCaptureEvents, &mic);
    mic.registry = pw_core_get_registry(mic.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(mic.registry, &mic.registryListener, &kRegistryEvents, &mic);

    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof(buffer));
    // No rate: the input's own, whatever the graph runs at.
    const spa_pod* params[1] = {formatParam(b, 0, mic.options.channels)};
    const int res = pw_stream_connect(
        mic.capture, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_DONT_RECONNECT),
        params, 1);
    if (res < 0) {
        std::fprintf(stderr, "taln-mic: cannot read the input: %s\n", spa_strerror(res));
        return kFailed;
    }
    mic.status_timer = pw_loop_add_timer(loop, onStatusTimer, &mic);
    timespec value{0, static_cast<long>(kStatusNanoseconds)};
    timespec interval = value;
    pw_loop_update_timer(loop, mic.status_timer, &value, &interval, false);

    pw_main_loop_run(mic.loop);
    return mic.status;
}

void close(Mic& mic) {
    // The streams first: their nodes leave the graph when they are destroyed. Their listeners go
    // before them, or their last state change would read as the input going away.
    if (mic.source != nullptr) {
        // The data thread lets go of the source: after this empty call has run there, no quantum
        // still holds it.
        mic.sourceFlowing.store(nullptr, std::memory_order_release);
        pw_loop_invoke(pw_data_loop_get_loop(pw_context_get_data_loop(mic.context)), nothing, 0,
                       nullptr, 0, true, nullptr);
        spa_hook_remove(&mic.sourceListener);
        pw_stream_destroy(mic.source);
    }
    if (mic.capture != nullptr) {
        spa_hook_remove(&mic.captureListener);
        pw_stream_destroy(mic.capture);
    }
    if (mic.registry != nullptr) {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(mic.registry));
    }
    if (mic.core != nullptr) {
        pw_core_disconnect(mic.core);
    }
    if (mic.context != nullptr) {
        pw_context_destroy(mic.context);
    }
    if (mic.loop != nullptr) {
        pw_main_loop_destroy(mic.loop);
    }
}

} // namespace

int main(int argc, char** argv) {
    const auto parsed = parseOptions(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) {
        return *status;
    }
    taln::prepareLivePlans();
    pw_init(&argc, &argv);
    Mic mic;
    mic.options = std::get<Options>(parsed);
    const int status = run(mic);
    close(mic);
    pw_deinit();
    return status;
}
