// Standard output and standard error written by a thread per stream, from
// a queue whose progress is bounded: see output_queue.h.
#include "output/output_queue.h"

#include "output/finishers.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Piece {
    std::string text;
    OutputPiece kind;
    bool frame;      // the live view's part: goes back over the live lines on the screen first
    int live_lines;  // for a frame: its live lines
    bool frame_end;  // the live part stays
};

struct StreamQueue {
    FILE *file;
    std::deque<Piece> pieces;  // not written yet, oldest first
    size_t progress_bytes;     // of the progress pieces among them
    bool writing;              // the writer has a piece in hand
    long dropped;              // progress pieces dropped so far
    long dropped_told;         // of those, the ones a note has named
    bool failed;
    int error;
};

// The queues of the process. Made once and never destroyed: a writer
// thread may still be held in a write when the process ends.
struct Queues {
    std::mutex lock;
    std::condition_variable news;     // a piece queued, or drops to tell
    std::condition_variable written;  // a queue ran empty
    bool started = false;
    StreamQueue streams[2]{{stdout, {}, 0, false, 0, 0, false, 0}, {stderr, {}, 0, false, 0, 0, false, 0}};
    int on_screen = 0;  // lines of the live part on standard error's terminal
};

Queues &queues = *new Queues;

// Writes and flushes; 0 with errno on failure.
int put(FILE *file, const std::string &text)
{
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fflush(file) == 0 && written;
}

// The text that puts the piece on the screen: a frame first goes back to
// the first line of the live part and erases it. Only the one writer of
// standard error calls this.
std::string screen_text(const Piece &piece)
{
    if (piece.frame_end) {
        queues.on_screen = 0;
        return "\n";
    }
    if (!piece.frame)
        return piece.text;
    std::string out = "\r";
    if (queues.on_screen > 1)
        out.append("\x1b[").append(std::to_string(queues.on_screen - 1)).append("A");
    out.append("\x1b[J").append(piece.text);
    queues.on_screen = piece.live_lines;
    return out;
}

// Writes one piece to its stream; records the first failure.
void write_piece(int stream, const Piece &piece)
{
    StreamQueue &queue = queues.streams[stream];
    const std::string text = stream == OUTPUT_STDERR ? screen_text(piece) : piece.text;
    if (put(queue.file, text) || queue.failed)
        return;
    const int error = errno;
    std::lock_guard<std::mutex> hold(queues.lock);
    queue.failed = true;
    queue.error = error;
}

// The note on standard error for drops not told yet, as a piece that
// clears the live part (empty when there is nothing to tell).
std::string drop_note()
{
    std::string note;
    for (int stream : {OUTPUT_STDOUT, OUTPUT_STDERR}) {
        StreamQueue &queue = queues.streams[stream];
        if (queue.dropped == queue.dropped_told)
            continue;
        note += "quorvel: " + std::to_string(queue.dropped - queue.dropped_told) + " progress line" +
                (queue.dropped - queue.dropped_told == 1 ? "" : "s") + " dropped: " +
                (stream == OUTPUT_STDOUT ? "standard output" : "standard error") +
                " was not read in time (the start and end of every board are kept)\n";
        queue.dropped_told = queue.dropped;
    }
    return note;
}

void write_queue(int stream)
{
    StreamQueue &queue = queues.streams[stream];
    std::unique_lock<std::mutex> hold(queues.lock);
    for (;;) {
        queues.news.wait(hold, [&] {
            return !queue.pieces.empty() ||
                   (stream == OUTPUT_STDERR && (queues.streams[0].dropped != queues.streams[0].dropped_told ||
                                                queues.streams[1].dropped != queues.streams[1].dropped_told));
        });
        std::string note = stream == OUTPUT_STDERR ? drop_note() : "";
        Piece piece{"", OUTPUT_KEEP, false, 0, false};
        const bool have = !queue.pieces.empty();
        if (have) {
            piece = std::move(queue.pieces.front());
            queue.pieces.pop_front();
            if (piece.kind == OUTPUT_PROGRESS)
                queue.progress_bytes -= piece.text.size();
        }
        queue.writing = true;
        const bool was_failed = queue.failed;
        hold.unlock();
        // The note stays: a live part on the screen is erased first, and
        // the next frame draws it again below the note.
        if (!note.empty())
            write_piece(stream, Piece{note, OUTPUT_KEEP, queues.on_screen > 0, 0, false});
        if (have)
            write_piece(stream, piece);
        hold.lock();
        queue.writing = false;
        if (stream == OUTPUT_STDOUT && queue.failed && !was_failed) {
            std::string warning =
                std::string("quorvel: warning: cannot write the JSON events: ") + std::strerror(queue.error) + "\n";
            queues.streams[OUTPUT_STDERR].pieces.push_back(Piece{warning, OUTPUT_KEEP, false, 0, false});
            queues.news.notify_all();
        }
        if (queue.pieces.empty())
            queues.written.notify_all();
    }
}

// At the end of the process: everything queued goes out first.
void drain_at_end(int &)
{
    output_drain();
}

void queue_piece(int stream, Piece piece)
{
    if (!queues.started) {
        write_piece(stream, piece);
        return;
    }
    std::lock_guard<std::mutex> hold(queues.lock);
    StreamQueue &queue = queues.streams[stream];
    if (piece.kind == OUTPUT_PROGRESS)
        queue.progress_bytes += piece.text.size();
    queue.pieces.push_back(std::move(piece));
    // Past the bound, the oldest progress goes first; the newest piece
    // stays, so that the latest progress is what comes out.
    for (auto at = queue.pieces.begin();
         queue.progress_bytes > OUTPUT_QUEUE_BYTES && at + 1 != queue.pieces.end();) {
        if (at->kind != OUTPUT_PROGRESS) {
            ++at;
            continue;
        }
        queue.progress_bytes -= at->text.size();
        ++queue.dropped;
        at = queue.pieces.erase(at);
    }
    queues.news.notify_all();
}

}  // namespace

void output_queue_start()
{
    std::lock_guard<std::mutex> hold(queues.lock);
    if (queues.started)
        return;
    queues.started = true;
    for (int stream : {OUTPUT_STDOUT, OUTPUT_STDERR})
        std::thread(write_queue, stream).detach();
    at_end(drain_at_end);
}

int output_queued()
{
    return queues.started;
}

void output_text(OutputStream stream, std::string text, OutputPiece piece)
{
    queue_piece(stream, Piece{std::move(text), piece, false, 0, false});
}

void output_frame(std::string text, int live_lines, OutputPiece piece)
{
    queue_piece(OUTPUT_STDERR, Piece{std::move(text), piece, true, live_lines, false});
}

void output_frame_end()
{
    queue_piece(OUTPUT_STDERR, Piece{"", OUTPUT_KEEP, false, 0, true});
}

void output_drain()
{
    std::unique_lock<std::mutex> hold(queues.lock);
    queues.written.wait(hold, [] {
        for (const StreamQueue &queue : queues.streams)
            if (!queue.pieces.empty() || queue.writing)
                return false;
        for (const StreamQueue &queue : queues.streams)
            if (queue.dropped != queue.dropped_told)
                return false;
        return true;
    });
}

int output_failed(OutputStream stream, int &error)
{
    std::lock_guard<std::mutex> hold(queues.lock);
    error = queues.streams[stream].error;
    return queues.streams[stream].failed;
}

long output_dropped(OutputStream stream)
{
    std::lock_guard<std::mutex> hold(queues.lock);
    return queues.streams[stream].dropped;
}
