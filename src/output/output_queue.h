// Standard output and standard error for runs of several boards: what is
// said goes out when the stream can take it, so that starting boards,
// following their copies and writing the log never wait for a reader that
// stopped reading (a stuck pipe, a terminal held by Ctrl-S).
//
// Before output_queue_start, and in runs of one board, each piece is
// written and flushed at once. After it, a thread per stream writes what
// was queued, in order. The queue holds at most OUTPUT_QUEUE_BYTES of
// progress (block events, redraws of the live view): past that, the oldest
// progress pieces are dropped and a note on standard error says how many.
// Lines that must not be lost (a board's start and end, messages) are
// never dropped.
#pragma once

#include <cstddef>
#include <string>

enum OutputStream { OUTPUT_STDOUT, OUTPUT_STDERR };

// What a piece of output is.
enum OutputPiece {
    OUTPUT_KEEP,      // must come out: never dropped
    OUTPUT_PROGRESS,  // may be dropped when the stream falls behind
};

// The most bytes of progress that wait in a stream's queue.
constexpr size_t OUTPUT_QUEUE_BYTES = 64 * 1024;

// From now on, output goes through the writer threads. Called once, after
// the stop signals are held (the threads take none of them).
void output_queue_start();

// 1 while output goes through the queues.
int output_queued();

// Writes `text` to the stream, now or when the stream can take it.
void output_text(OutputStream stream, std::string text, OutputPiece piece);

// The live view's part on standard error: `text` is its lines (those that
// stay, then the live ones, the last without a line end), and `live_lines`
// how many of them are redrawn by the next frame. The writer goes back
// over the live part on the screen first.
void output_frame(std::string text, int live_lines, OutputPiece piece);

// The live part stays as it is: a line end after it, and the next frame
// starts below it.
void output_frame_end();

// Waits until everything queued has been written (or failed).
void output_drain();

// 1 when a write to the stream failed; `error` gets its errno.
int output_failed(OutputStream stream, int &error);

// The number of progress pieces dropped so far on the stream.
long output_dropped(OutputStream stream);
