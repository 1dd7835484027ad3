// QEN_EXPORT marks what the library exports: the public classes and
// functions. A shared build hides every other symbol (it compiles with
// hidden visibility); on Windows the shared library's own build exports them
// (QEN_BUILDING_SHARED) and its users import them (QEN_SHARED, which the
// CMake target qen::runtime sets for them). A static library needs neither.
#pragma once

#if defined(_WIN32)
#if defined(QEN_BUILDING_SHARED)
#define QEN_EXPORT __declspec(dllexport)
#elif defined(QEN_SHARED)
#define QEN_EXPORT __declspec(dllimport)
#else
#define QEN_EXPORT
#endif
#else
#define QEN_EXPORT __attribute__((visibility("default")))
#endif
