// The real Mac: application folders and bundles on disk, running
// applications, and application icons.
#include "platform/macos/backend.h"

#include "platform/apple.h"

#include <algorithm>
#include <cstring>

#import <AppKit/AppKit.h>

namespace brindlecast::platform {

namespace {

std::optional<bool> flagOf(NSDictionary<NSURLResourceKey, id>* values, NSURLResourceKey key) {
    id value = values[key];
    if (![value isKindOfClass:[NSNumber class]]) return std::nullopt;
    return static_cast<NSNumber*>(value).boolValue != NO;
}

NSRunningApplication* runningApplicationOf(const RunningApp& app) {
    return (__bridge NSRunningApplication*)app.native.get();
}

// Premultiplied RGBA rows, `bytesPerRow` apart, as straight-alpha RGBA rows
// 4 x size bytes apart.
Picture straightRgba(const unsigned char* rows, std::size_t bytesPerRow, int size) {
    Picture picture = Picture::zeroed(size, size, PixelFormat::RGBA);
    for (std::size_t y = 0; y < static_cast<std::size_t>(size); ++y) {
        const unsigned char* from = rows + y * bytesPerRow;
        uint8_t* to = picture.pixels.data() + y * picture.stride;
        for (std::size_t x = 0; x < picture.stride; x += 4) {
            const unsigned alpha = from[x + 3];
            for (std::size_t c = 0; c < 3; ++c) {
                const unsigned value = from[x + c];
                to[x + c] = static_cast<uint8_t>(
                    alpha == 0 ? 0 : std::min(255u, (value * 255u + alpha / 2) / alpha));
            }
            to[x + 3] = static_cast<uint8_t>(alpha);
        }
    }
    return picture;
}

}  // namespace

// ---- Folders and bundles ----------------------------------------------------

ScanRoots MacOSMac::applicationRoots() {
    @autoreleasepool {
        NSURL* home = NSFileManager.defaultManager.homeDirectoryForCurrentUser;
        NSURL* homeApplications = [home URLByAppendingPathComponent:@"Applications" isDirectory:YES];
        return {"/Applications", "/System/Applications", textOf(homeApplications.path)};
    }
}

bool MacOSMac::isApplicationCandidate(const FolderEntry& entry) { return apple::isBundleCandidate(entry); }

std::optional<std::vector<FolderEntry>> MacOSMac::listFolder(const std::string& path) {
    @autoreleasepool {
        NSURL* folder = fileURLOf(path);
        if (folder == nil) return std::nullopt;
        NSArray<NSURLResourceKey>* keys = @[ NSURLIsSymbolicLinkKey, NSURLIsDirectoryKey ];
        NSArray<NSURL*>* items =
            [NSFileManager.defaultManager contentsOfDirectoryAtURL:folder
                                        includingPropertiesForKeys:keys
                                                           options:NSDirectoryEnumerationSkipsHiddenFiles
                                                             error:nil];
        if (items == nil) return std::nullopt;
        std::vector<FolderEntry> entries;
        entries.reserve(items.count);
        for (NSURL* item in items) {
            FolderEntry entry;
            entry.name = textOf(item.lastPathComponent);
            entry.path = textOf(item.path);
            if (NSDictionary<NSURLResourceKey, id>* values = [item resourceValuesForKeys:keys error:nil]) {
                entry.propertiesRead = true;
                entry.isSymbolicLink = flagOf(values, NSURLIsSymbolicLinkKey);
                entry.isDirectory = flagOf(values, NSURLIsDirectoryKey);
            }
            entries.push_back(std::move(entry));
        }
        return entries;
    }
}

// The bundle's information is read from its Contents/Info.plist at every
// call: the platform's bundle objects are cached by location, so they would
// keep an updated application's old identifier, name and executable.
std::optional<Bundle> MacOSMac::openBundle(const std::string& path) {
    @autoreleasepool {
        NSURL* location = fileURLOf(path);
        if (location == nil) return std::nullopt;
        // Any folder opens as a bundle; a plain file or nothing at all does not.
        BOOL isFolder = NO;
        if (![NSFileManager.defaultManager fileExistsAtPath:location.path isDirectory:&isFolder] || !isFolder) {
            return std::nullopt;
        }
        Bundle out;
        NSURL* contents = [location URLByAppendingPathComponent:@"Contents" isDirectory:YES];
        NSURL* infoFile = [contents URLByAppendingPathComponent:@"Info.plist" isDirectory:NO];
        NSDictionary* info = [NSDictionary dictionaryWithContentsOfURL:infoFile error:nil];
        id bundleId = info[@"CFBundleIdentifier"];
        if ([bundleId isKindOfClass:[NSString class]]) out.bundleId = textOf(static_cast<NSString*>(bundleId));
        id displayName = info[@"CFBundleDisplayName"];
        if ([displayName isKindOfClass:[NSString class]]) out.displayName = textOf(static_cast<NSString*>(displayName));
        // The executable is Contents/MacOS/<CFBundleExecutable>, or, without that
        // key, the executable named after the bundle; it counts when it is a file.
        id executableName = info[@"CFBundleExecutable"];
        NSString* name = [executableName isKindOfClass:[NSString class]]
                             ? static_cast<NSString*>(executableName)
                             : location.lastPathComponent.stringByDeletingPathExtension;
        if (name.length > 0) {
            NSURL* executable = [[contents URLByAppendingPathComponent:@"MacOS" isDirectory:YES]
                URLByAppendingPathComponent:name
                                isDirectory:NO];
            BOOL executableIsFolder = YES;
            out.hasExecutable = [NSFileManager.defaultManager fileExistsAtPath:executable.path
                                                                   isDirectory:&executableIsFolder] &&
                                !executableIsFolder;
        }
        return out;
    }
}

std::string MacOSMac::standardLocation(const std::string& path) {
    @autoreleasepool {
        NSURL* location = fileURLOf(path);
        if (location == nil) return path;
        NSString* standard = location.URLByResolvingSymlinksInPath.URLByStandardizingPath.path;
        return standard != nil ? textOf(standard) : path;
    }
}

bool MacOSMac::fileExists(const std::string& path) {
    @autoreleasepool {
        NSString* string = stringOf(path);
        return string != nil && [NSFileManager.defaultManager fileExistsAtPath:string];
    }
}

// ---- Running applications ---------------------------------------------------

std::vector<RunningApp> MacOSMac::runningApplications() {
    std::vector<RunningApp> apps;
    @autoreleasepool {
        serviceMainRunLoop();
        for (NSRunningApplication* running in NSWorkspace.sharedWorkspace.runningApplications) {
            RunningApp app;
            app.pid = running.processIdentifier;
            if (NSString* bundlePath = running.bundleURL.path) app.bundlePath = textOf(bundlePath);
            app.native = retainedObject(running);
            apps.push_back(std::move(app));
        }
    }
    return apps;
}

bool MacOSMac::activate(const RunningApp& app, ActivationOptions options) {
    @autoreleasepool {
        NSRunningApplication* running = runningApplicationOf(app);
        const bool accepted = [running activateWithOptions:static_cast<NSApplicationActivationOptions>(options)];
        // Activation is cooperative from macOS 14 on: a request from a process
        // in the background is accepted and then usually ignored. Opening the
        // application again through the workspace brings it forward (a running
        // application is activated, not started a second time). Nothing waits
        // for that: the answer is the activation request's.
        NSURL* location = running.bundleURL;
        if (accepted && location != nil) {
            NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
            configuration.activates = YES;
            [NSWorkspace.sharedWorkspace openApplicationAtURL:location
                                                configuration:configuration
                                            completionHandler:^(NSRunningApplication* opened, NSError* error) {
                                                (void)opened;
                                                (void)error;
                                            }];
        }
        return accepted;
    }
}

bool MacOSMac::terminate(const RunningApp& app) {
    @autoreleasepool {
        return [runningApplicationOf(app) terminate];
    }
}

bool MacOSMac::forceTerminate(const RunningApp& app) {
    @autoreleasepool {
        return [runningApplicationOf(app) forceTerminate];
    }
}

namespace {

// What the launch call-back hands over. Shared by the waiting request and the
// call-back, so a call-back that comes after the deadline still writes into
// live memory.
struct LaunchResult {
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    bool launched = false;
};

}  // namespace

void MacOSMac::openApplication(const std::string& bundlePath) {
    bool opened = false;
    @autoreleasepool {
        if (NSURL* location = fileURLOf(bundlePath)) {
            const auto result = std::make_shared<LaunchResult>();
            [NSWorkspace.sharedWorkspace openApplicationAtURL:location
                                                configuration:[NSWorkspaceOpenConfiguration configuration]
                                            completionHandler:^(NSRunningApplication* application, NSError* error) {
                                                result->launched = application != nil && error == nil;
                                                dispatch_semaphore_signal(result->done);
                                            }];
            // A first-launch check or a slow disk may hold the launch for a
            // while; a call-back that never comes must not hold the agent.
            opened = awaitCompletion(result->done, launchDeadlineSeconds) && result->launched;
        }
    }
    if (!opened) throw PlatformError{};
}

// ---- Icons ------------------------------------------------------------------

std::optional<Picture> MacOSMac::drawIcon(const std::string& bundlePath, int size) {
    @autoreleasepool {
        NSString* path = stringOf(bundlePath);
        if (path == nil || size <= 0) return std::nullopt;
        // The platform gives a generic icon to a bundle without one.
        NSImage* icon = [NSWorkspace.sharedWorkspace iconForFile:path];

        // The image chooses its own row and pixel sizes; the layout is read back below.
        NSBitmapImageRep* canvas = [[NSBitmapImageRep alloc] initWithBitmapDataPlanes:nullptr
                                                                           pixelsWide:size
                                                                           pixelsHigh:size
                                                                        bitsPerSample:8
                                                                      samplesPerPixel:4
                                                                             hasAlpha:YES
                                                                             isPlanar:NO
                                                                       colorSpaceName:NSDeviceRGBColorSpace
                                                                          bytesPerRow:0
                                                                         bitsPerPixel:0];
        // Red, green, blue and alpha in that order, 8-bit integers, alpha premultiplied.
        const NSBitmapFormat unexpected =
            NSBitmapFormatAlphaFirst | NSBitmapFormatAlphaNonpremultiplied | NSBitmapFormatFloatingPointSamples;
        if (canvas == nil || canvas.bitmapData == nullptr || canvas.bitsPerPixel != 32 ||
            (canvas.bitmapFormat & unexpected) != 0) {
            return std::nullopt;
        }
        const std::size_t bytesPerRow = static_cast<std::size_t>(canvas.bytesPerRow);
        std::memset(canvas.bitmapData, 0, bytesPerRow * static_cast<std::size_t>(size));

        NSGraphicsContext* context = [NSGraphicsContext graphicsContextWithBitmapImageRep:canvas];
        if (context == nil) return std::nullopt;
        [NSGraphicsContext saveGraphicsState];
        NSGraphicsContext.currentContext = context;
        [icon drawInRect:NSMakeRect(0, 0, size, size)];
        [context flushGraphics];
        [NSGraphicsContext restoreGraphicsState];

        return straightRgba(canvas.bitmapData, bytesPerRow, size);
    }
}

}  // namespace brindlecast::platform
