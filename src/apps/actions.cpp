#include "apps/actions.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <spng.h>

#include "apps/lookup.h"
#include "capture/frame.h"
#include "capture/payload.h"
#include "host/failure.h"
#include "input/guard.h"

namespace brindlecast::apps {

namespace {

constexpr int iconSide = 96;
constexpr std::size_t maxIconBytes = 524288;

// The canvas as tightly packed RGBA rows; none when it is not size x size or
// its buffer is short.
std::optional<std::vector<uint8_t>> packedRgba(const platform::Picture& picture, int size) {
    if (picture.width != size || picture.height != size) return std::nullopt;
    const auto side = static_cast<std::size_t>(size);
    const std::size_t row = side * 4;
    if (picture.stride < row || picture.byteCount() < picture.stride * (side - 1) + row) return std::nullopt;
    const bool bgr = picture.format == platform::PixelFormat::BGRA || picture.format == platform::PixelFormat::BGRX;
    const bool opaque = picture.format == platform::PixelFormat::RGBX || picture.format == platform::PixelFormat::BGRX;
    std::vector<uint8_t> rgba(row * side);
    for (std::size_t y = 0; y < side; ++y) {
        const uint8_t* in = picture.bytes() + y * picture.stride;
        uint8_t* out = rgba.data() + y * row;
        for (std::size_t x = 0; x < side; ++x, in += 4, out += 4) {
            out[0] = bgr ? in[2] : in[0];
            out[1] = in[1];
            out[2] = bgr ? in[0] : in[2];
            out[3] = opaque ? 255 : in[3];
        }
    }
    return rgba;
}

struct SpngContext {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// The PNG encoding of size x size RGBA pixels, 8 bits a sample; none when
// the encoder fails.
std::optional<std::string> encodePng(const std::vector<uint8_t>& rgba, int size) {
    std::unique_ptr<spng_ctx, SpngContext> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return std::nullopt;
    if (spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1) != 0) return std::nullopt;
    spng_ihdr header{};
    header.width = static_cast<uint32_t>(size);
    header.height = static_cast<uint32_t>(size);
    header.bit_depth = 8;
    header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (spng_set_ihdr(ctx.get(), &header) != 0) return std::nullopt;
    if (spng_encode_image(ctx.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) != 0) {
        return std::nullopt;
    }
    std::size_t length = 0;
    int error = 0;
    void* buffer = spng_get_png_buffer(ctx.get(), &length, &error);
    if (buffer == nullptr || error != 0) {
        std::free(buffer);
        return std::nullopt;
    }
    std::string png(static_cast<const char*>(buffer), length);
    std::free(buffer);
    return png;
}

void icon(Host& host, const std::string& location, Result& result) {
    const auto canvas = host.mac().drawIcon(location, iconSide);
    if (!canvas) return;
    const auto rgba = packedRgba(*canvas, iconSide);
    if (!rgba) return;
    const auto png = encodePng(*rgba, iconSide);
    // Without a picture, or with one too large to send, the answer has no icon.
    if (!png || png->empty() || png->size() > maxIconBytes) return;
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(png->data()), png->size());
    result["icon"] = capture::payloadFromBytes(bytes, "image/png");
}

void act(Host& host, const Request& request, const std::string& location) {
    const auto* value = stringField(request, "appAction");
    const std::string_view action = value != nullptr ? std::string_view(*value) : std::string_view();
    // Read once, before the action is examined.
    const auto instances = running(host, location);
    platform::Mac& mac = host.mac();

    if (action == "run") {
        // An application that already runs is handed to the platform all the
        // same; an error in the call-back goes up as a platform error.
        mac.openApplication(location);
        return;
    }
    if (action == "view") {
        const bool activated =
            !instances.empty() && mac.activate(instances.front(), platform::ActivationOptions::allWindows);
        if (!activated) fail(failures::appNotOpen);
        return;
    }
    if (action == "close" || action == "terminate") {
        // The protection is read from the bundle on disk now.
        if (isProtected(host, mac.openBundle(location)) || instances.empty()) fail(failures::appCannotClose);
        const bool force = action == "terminate";
        // Instances before a refusal have already been asked.
        for (const auto& instance : instances) {
            const bool accepted = force ? mac.forceTerminate(instance) : mac.terminate(instance);
            if (!accepted) fail(failures::closeDeclined);
        }
        return;
    }
    fail(failures::unknownAppAction);
}

void preview(Host& host, const std::string& location, Result& result) {
    // The fixed settings of an application picture.
    const Request settings{{"maxWidth", 1280}, {"maxHeight", 720}, {"jpegQuality", 75}};
    // The running instances are read when the capture comes to the window.
    const capture::WindowOwners owners = [&] { return runningPids(host, location); };
    result["preview"] = capture::frame(host, settings, &owners);
}

}  // namespace

void appOperation(Host& host, const Request& request, Result& result) {
    // Routed here only with a text "operation" naming one of the three.
    const std::string_view operation = request.at("operation").get_string();
    const bool isAction = operation == "apps.action";
    if (isAction) {
        exact(request, {"operation", "appId"}, {"appAction"});
    } else {
        exact(request, {"operation", "appId"});
    }
    input::interactive(host);
    const auto* appId = stringField(request, "appId");
    if (appId == nullptr) fail(failures::invalidApp);
    const std::string location = application(host, *appId);

    if (operation == "apps.icon") {
        icon(host, location, result);
    } else if (isAction) {
        act(host, request, location);
    } else {
        preview(host, location, result);
    }
}

}  // namespace brindlecast::apps
