#include "platform/ThreadName.h"

#include <pthread.h>

namespace Platform {

void nameCurrentThread(const char* name) {
    static_cast<void>(pthread_setname_np(pthread_self(), name));
}

}  // namespace Platform
