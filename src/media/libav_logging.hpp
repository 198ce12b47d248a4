#pragma once

namespace tessarine {

// libavcodec and libx264 print their own chatter (settings, statistics) to
// stderr. Only their errors are worth a user's attention; TESSARINE_LOG=debug
// lets everything through. Idempotent and thread-safe.
void quietLibavLogging();

} // namespace tessarine
