#pragma once

namespace Platform {

// Names the calling thread for the system's process listings and debuggers. Only a help for
// people: a name the system refuses (one of 16 characters or more) is left out.
void nameCurrentThread(const char* name);

}  // namespace Platform
