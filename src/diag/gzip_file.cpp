// The gzip form of a file, written with zlib's deflate (see gzip_file.h).
// zlib's own gz* file functions open files by name with the C runtime; the
// data goes through the platform's file handles instead, so that the file
// being read can be renamed while it is read, and every failure carries a
// system error code.
#include "diag/gzip_file.h"

#include <string.h>

#include <zlib.h>

namespace {

enum : uint32_t {
    GZIP_CHUNK_SIZE = 65536,
    // 15 bits of window, plus 16: a gzip header and trailer around the
    // deflate stream instead of zlib's own.
    GZIP_WINDOW_BITS = 15 + 16,
    GZIP_MEMORY_LEVEL = 8,
};

// Writes what deflate has put out; 0 with the last error set when the file
// takes less than all of it.
int put_output(PlatHandle out, const unsigned char* bytes, uint32_t size)
{
    uint32_t written = 0;
    if (!plat_write_file(out, bytes, size, &written)) return 0;
    if (written == size) return 1;
    plat_set_last_error(PLAT_ERROR_DISK_FULL);
    return 0;
}

// Deflates one piece of input (flush Z_FINISH for the last, empty one) and
// writes everything it yields.
int deflate_piece(z_stream* stream, PlatHandle out, unsigned char* output, int flush)
{
    do {
        stream->next_out = output;
        stream->avail_out = GZIP_CHUNK_SIZE;
        // With a valid stream and room to write, deflate cannot fail; it
        // returns Z_BUF_ERROR only when it had nothing to do.
        deflate(stream, flush);
        uint32_t size = GZIP_CHUNK_SIZE - stream->avail_out;
        if (size > 0 && !put_output(out, output, size)) return 0;
    } while (stream->avail_out == 0);
    return 1;
}

}  // namespace

int GzipFile(PlatHandle in, PlatHandle out)
{
    unsigned char* input = (unsigned char*)plat_heap_alloc(GZIP_CHUNK_SIZE);
    unsigned char* output = (unsigned char*)plat_heap_alloc(GZIP_CHUNK_SIZE);
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    int begun = input != nullptr && output != nullptr &&
                deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, GZIP_WINDOW_BITS, GZIP_MEMORY_LEVEL,
                             Z_DEFAULT_STRATEGY) == Z_OK;
    int ok = begun;
    if (!begun) plat_set_last_error(PLAT_ERROR_NOT_ENOUGH_MEMORY);
    for (int flush = Z_NO_FLUSH; ok && flush != Z_FINISH;) {
        uint32_t got = 0;
        ok = plat_read_file(in, input, GZIP_CHUNK_SIZE, &got);
        flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = input;
        stream.avail_in = got;
        ok = ok && deflate_piece(&stream, out, output, flush);
    }
    if (begun) deflateEnd(&stream);
    plat_heap_free(input);
    plat_heap_free(output);
    return ok;
}
