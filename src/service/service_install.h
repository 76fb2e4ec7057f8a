// The -install and -remove commands and the system error text they print. Console commands:
// every step and every failure goes to standard output; the exit code is the caller's.
#pragma once

namespace kvn::service {

// Registers this executable as the automatically started service "Kelvarn" of its own
// process, with its description and its event source.
void InstallService();
// Stops the service if it runs (waiting while it reports stop pending, without a bound),
// deletes it and its event source.
void RemoveService();
// The system's text for the thread's last error, as "<text> (Error code: 0x<hex>)" without
// the text's line end, or empty when the system has no text or it is too long. Points to one
// process-wide buffer that the next call overwrites.
const char16_t* LastErrorText();

}  // namespace kvn::service
