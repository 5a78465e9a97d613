#pragma once
#include <cstddef>
#include <string>

#include "aError.h"

// Replaces the file at path with length bytes of data so that readers, and the file after
// a crash or a full disk, see either the old contents or the new ones, never a mix: the
// bytes go to a hidden temporary file in the same directory, are flushed to disk, and the
// temporary is renamed over path. On failure the temporary is removed and path is untouched.
// aErrNotFound when an existing path cannot be opened for writing (it is then left alone)
// or the temporary cannot be created, aErrIO when writing, flushing or the rename fails;
// *systemError (if not null) receives errno of the failing call.
aErr WriteFileAtomically(const std::string &path, const void *data, size_t length, int *systemError);
