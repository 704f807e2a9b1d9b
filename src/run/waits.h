// Whether a read waited for the storage, judged from what the reading
// thread did: a read that took long and in which the thread gave up its
// processor to wait, rather than one that another program preempted.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Reads as read_file_head does, and sets out->seconds, out->ended (on
// wall_seconds' clock) and out->waited.
bool read_and_judge(void* unused, const FileSpec& file, unsigned char* head, std::size_t n,
                    bool random, FileHead* out);

// The thread is about to read, after sleeping or starting: what it waited
// for until now was not the storage.
void forget_waits();
