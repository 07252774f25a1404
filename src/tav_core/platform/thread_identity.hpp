// Names and identities of threads, as the system's tools (ps, debuggers) and Python see them.
#pragma once

#include <string>
#include <thread>

namespace tav::platform {

// Names the calling thread; a system with a length limit keeps the first characters (15 on
// Linux).
void name_this_thread(const std::string& name);
// The calling thread's identity, as the system gives it to Python (threading.get_ident()).
unsigned long this_thread_id();
// The identity of `thread` (started, not yet detached), the same as this_thread_id() gives in it.
unsigned long thread_id(std::thread& thread);

}  // namespace tav::platform
