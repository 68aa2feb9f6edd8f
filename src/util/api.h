// ZUD_API marks the namespace blocks of the installed headers. The
// libraries compile with hidden visibility, so a shared build exports what
// those headers declare and nothing else: internals cannot be linked against
// by accident, and the dynamic symbol table stays small.
#pragma once

#if defined(_WIN32)
#define ZUD_API
#else
#define ZUD_API [[gnu::visibility("default")]]
#endif
