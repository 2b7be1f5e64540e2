// An LV2 plugin that only copies its input to its output: run through lv2apply beside Taln's, it
// shows what lv2apply's own reading and writing cost.

#include <lv2/core/lv2.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

struct Copy {
    const float* in = nullptr;
    float* out = nullptr;
};

LV2_Handle instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*) {
    return new (std::nothrow) Copy;
}

void connectPort(LV2_Handle handle, std::uint32_t port, void* data) {
    auto* copy = static_cast<Copy*>(handle);
    if (port == 0) {
        copy->in = static_cast<const float*>(data);
    } else {
        copy->out = static_cast<float*>(data);
    }
}

void run(LV2_Handle handle, std::uint32_t count) {
    const auto* copy = static_cast<Copy*>(handle);
    std::copy_n(copy->in, count, copy->out);
}

void cleanup(LV2_Handle handle) {
    delete static_cast<Copy*>(handle);
}

const LV2_Descriptor kDescriptor = {
    "urn:taln:bench-copy", instantiate, connectPort, nullptr, run, nullptr, cleanup, nullptr};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &kDescriptor : nullptr;
}
