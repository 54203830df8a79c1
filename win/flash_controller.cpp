// Creation and end of a FlashController, and the public questions each part
// answers. The operations live in controller_load, _upload, _download and
// _startup.cpp.
#include <new>

#include "controller_parts.h"
#include "controller_testing.h"
#include "trace_file.h"

FlashController* createFlashController(SettingsStore* settings) {
    return new (std::nothrow) FlashController(settings);
}

void destroyFlashController(FlashController* controller) {
    if (controller == nullptr) return;
    controller->gate.stop();
    controller->watch.join();
    controller->upload.join();
    controller->output.stopTrace();
    delete controller;
}

SettingsStore* controllerSettings(FlashController* controller) {
    return controller->settings;
}

// ---- output sinks

void setStatusSink(FlashController* controller, void* userData, StatusSink sink) {
    controller->output.setStatusSink(userData, sink);
}

void setLogSink(FlashController* controller, void* userData, LogSink sink) {
    controller->output.setLogSink(userData, sink);
}

bool debugTraceWanted(FlashController* controller, const char* debugVariable) {
    uint32_t stored = 0;
    SettingsStore* settings = controller->settings;
    if (settings == nullptr || !settings->readNumber(kTraceValue, &stored)) stored = 0;
    return stm32TraceWanted(debugVariable, stored != 0 ? 1 : 0) != 0;
}

bool startDebugTrace(FlashController* controller, const NativeString& path) {
    return controller->output.startTrace(path);
}

void stopDebugTrace(FlashController* controller) {
    controller->output.stopTrace();
}

// ---- target watch

void startTargetWatch(FlashController* controller, void* userData, TargetChangedHandler handler) {
    controller->output.setTargetChangedHandler(userData, handler);
    controller->gate.open();
    // Without a watch no target is ever reported; nothing waits for its first poll.
    if (!controller->watch.start()) controller->gate.markFirstPollDone();
}

TargetGeometry watchedGeometry(FlashController* controller) {
    return controller->watch.geometry();
}

int32_t watchedTargetCount(FlashController* controller) {
    return controller->watch.count();
}

std::vector<int32_t> watchedTargetIndices(FlashController* controller) {
    return controller->watch.indices();
}

int32_t chosenTargetPosition(FlashController* controller) {
    return controller->watch.chosen();
}

void chooseTargetPosition(FlashController* controller, int32_t position) {
    controller->watch.choose(position);
}

void recordWatchedTargets(FlashController* controller, std::vector<int32_t> indices, int32_t chosen,
                          const TargetGeometry& geometry) {
    controller->watch.record(std::move(indices), chosen, geometry);
}

// ---- image slot

NativeString imageFilePath(FlashController* controller) {
    return controller->image.path();
}

const std::vector<uint8_t>& loadedImageBytes(FlashController* controller) {
    return controller->image.imageBytes();
}

int32_t loadedImageLength(FlashController* controller) {
    return controller->image.imageLength();
}

size_t downloadBufferSize(FlashController* controller) {
    return controller->image.bufferSize();
}

// ---- idle gate

int controllerIsIdle(FlashController* controller) {
    return controller->gate.isIdle();
}

// ---- option area

int32_t optionAreaOffset(FlashController* controller) {
    return controller->options.offset();
}

int32_t optionAreaSize(FlashController* controller) {
    return controller->options.size();
}

void setOptionArea(FlashController* controller, int32_t offset, int32_t size) {
    controller->options.set(offset, size);
}

int32_t clampOptionAreaOffset(FlashController* controller, int32_t offset) {
    return controller->options.clampOffset(offset, controller->watch.geometry());
}

uint32_t readStoredOptionsInUse(FlashController* controller) {
    return controller->options.readInUse();
}

int32_t reloadOptionAreaOffset(FlashController* controller) {
    return controller->options.reloadOffset();
}

int32_t reloadOptionAreaSize(FlashController* controller) {
    return controller->options.reloadSize();
}

bool storeOptionArea(FlashController* controller, int32_t offset, int32_t size, bool inUse) {
    return controller->options.store(offset, size, inUse);
}
