// message_sink.cpp: sends every message to the sink a front end or a test has set, or else to the
// system's own display. Linked with every implementation of the platform interface.
#include "display_message.h"
#include "platform.h"

namespace {
PlatMessageSink gSink = nullptr;
void* gSinkContext = nullptr;
}  // namespace

void PlatShowMessage(const char* text, const char* caption) {
    if (gSink != nullptr) {
        gSink(text, caption, gSinkContext);
    } else {
        PlatDisplayMessage(text, caption);
    }
}

void PlatSetMessageSink(PlatMessageSink sink, void* context) {
    gSink = sink;
    gSinkContext = context;
}
