// Creating and checking a folder that only the current user may write into.
#pragma once

#include <QString>

enum class PrivateDirectoryState {
    Ready,        // exists, is ours, is a real folder
    Created,      // did not exist and was created owner-only
    CreateFailed, // did not exist and could not be created
    Refused,      // exists but is a symbolic link, not a folder, or belongs to another user
};

// Makes sure path is a folder of the current user that others cannot write into: creates it
// (with missing parents) owner-only when absent, tightens an own folder that others could write
// into, and refuses a symbolic link or a folder of another user. reason explains a refusal.
PrivateDirectoryState ensurePrivateDirectory(const QString& path, QString* reason = nullptr);
