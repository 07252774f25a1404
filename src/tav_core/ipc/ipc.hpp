// Cross-process primitives shared by the server and its worker processes:
//   Lock   a binary semaphore (lock.hpp)
//   Event  an event flag built from three Locks (event.hpp)
//   Shm    a named shared-memory block (shm.hpp)
#pragma once

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/shm.hpp"
