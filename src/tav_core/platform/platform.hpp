// The platform layer: every facility of the operating system that the core uses, one header per
// facility in this folder, each implemented in posix/ (portable POSIX, what macOS offers too) and,
// where the system has something better, in linux/ or macos/ under the same file name; x11/ holds
// the screen grab of X11 systems, win/ the Windows implementation. CMakeLists.txt picks one file
// per facility for the build. Nothing outside this folder includes an operating-system header.
//
//   processes: spawn, fork, wait, kill, the creator stamp      process.hpp
//   the cross-process lock under ipc's Lock and Event          shared_semaphore.hpp
//   the named shared frame block                               shared_block.hpp
//   descriptors handed to workers                              descriptors.hpp
//   secure random bytes                                        secure_random.hpp
//   sockets, and waiting for them with a wake-up               socket.hpp, wake_up.hpp
//   a TCP connection's progress, the app socket's options      tcp_link.hpp, socket_options.hpp
//   the machine's IPv4 addresses and host name                 net_addresses.hpp, host_name.hpp
//   thread names and identities                                thread_identity.hpp
//   a function the process has loaded                          loaded_symbol.hpp
//   writing a whole file                                       file_write.hpp
//   grabbing a rectangle of the screen                         screen_grab.hpp
//   which system the build is for                              system.hpp
// (*_parts.hpp: what one facility's implementations differ in, used only by that facility.)
#pragma once
