#include "foundation/threads/Mutex.h"

#include "foundation/core/FatalError.h"

VelMutex::~VelMutex() { valid_ = 0; }

void VelMutex::Check() const {
    if (valid_ != kAlive) Vel::FatalError();
}

void VelMutex::Lock() {
    Check();
    mutex_.lock();
}

void VelMutex::Unlock() {
    Check();
    mutex_.unlock();
}

bool VelMutex::try_lock() {
    Check();
    return mutex_.try_lock();
}
