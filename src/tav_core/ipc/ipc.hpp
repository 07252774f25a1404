// Cross-process primitives shared by the server and its worker processes:
//   Lock   a binary semaphore (lock.hpp)
//   Event  an event flag built from three Locks (event.hpp)
//   Shm    a named shared-memory block (shm.hpp), and blocks that carry their creator
//          (owned_blocks.hpp)
// and their Python faces (python_faces.hpp).
#pragma once

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/owned_blocks.hpp"
#include "ipc/python_faces.hpp"
#include "ipc/shm.hpp"
