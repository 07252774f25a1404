// The platform layer: every facility of the operating system that the core uses, one header per
// facility in this folder, each implemented in posix/ (portable POSIX, what macOS offers too) and,
// where the system has something better, in linux/ or macos/ under the same file name; win/ holds
// the Windows implementation. CMakeLists.txt picks one file per facility for the build. Nothing
// outside this folder includes an operating-system header.
#pragma once
