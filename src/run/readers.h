// Candidate files are read on a pool of threads while the walk goes on
// listing, because on a cold cache or a network share each read waits for
// the storage: many in flight cost little more than one. What they hold
// goes out in exactly the walk's order: each row, progress dot and closing
// of a listing after everything queued before it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/platform.h"

struct Readers;

struct StopReaders {
    // Stops the threads once their reads are done, closes the listings
    // still queued and frees everything, whether or not all went out.
    void operator()(Readers* readers) const;
};

std::unique_ptr<Readers, StopReaders> start_readers(std::FILE* out, std::FILE* progress);

// Queues a prepared candidate file, printed as path; returns its place in
// the order. Waits while the window of files in flight is full.
std::uint64_t queue_file(Readers* readers, const FileSpec& file, const std::string& path);

// Queues the end of a directory: a progress dot when dot is set, and the
// closing of listing (when not null) once every file queued before is read.
void queue_end(Readers* readers, DirListing* listing, bool dot);

// Waits until everything up to the place queue_file gave has gone out.
void write_through(Readers* readers, std::uint64_t place);

// Waits until everything queued has gone out. Returns the number of rows.
int write_all(Readers* readers);

// The errno of the first write that failed, or 0. After a failure nothing
// more is written, and the walk should stop.
int write_error(const Readers* readers);
