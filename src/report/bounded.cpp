// Bounded text operations: never write past the buffer, always terminate.
//
// The formatter is our own so that truncation behaves the same everywhere:
// the C runtimes disagree on what snprintf returns and whether it terminates.
#include "report/report.h"

namespace {

const size_t kMaxBoundedSize = 2147483647u;

// Appends one character while room is left for the terminating NUL.
struct Sink {
    char* buffer;
    size_t size;
    size_t used;
    bool truncated;
};

void Put(Sink* sink, char c) {
    if (sink->used + 1 < sink->size) {
        sink->buffer[sink->used++] = c;
    } else {
        sink->truncated = true;
    }
}

void PutNumber(Sink* sink, unsigned value, unsigned base) {
    char digits[16];
    int count = 0;
    do {
        digits[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0) Put(sink, digits[--count]);
}

}  // namespace

HRESULT FormatBoundedV(char* buffer, size_t size, const char* format, va_list args) {
    if (size == 0 || size > kMaxBoundedSize || buffer == NULL) return BOUNDED_INVALID;
    Sink sink = {buffer, size, 0, false};
    for (const char* p = format; *p != '\0' && !sink.truncated; ++p) {
        if (*p != '%') {
            Put(&sink, *p);
            continue;
        }
        switch (*++p) {
            case 's': {
                const char* text = va_arg(args, const char*);
                if (text == NULL) text = "(null)";
                while (*text != '\0' && !sink.truncated) Put(&sink, *text++);
                break;
            }
            case 'u':
                PutNumber(&sink, va_arg(args, unsigned), 10);
                break;
            case 'X':
                PutNumber(&sink, va_arg(args, unsigned), 16);
                break;
            case '\0':  // a lone '%' at the end is kept as it is
                Put(&sink, '%');
                --p;
                break;
            default:  // '%%' and anything unknown: the character itself
                Put(&sink, *p);
                break;
        }
    }
    buffer[sink.used] = '\0';
    return sink.truncated ? BOUNDED_TRUNCATED : BOUNDED_OK;
}

HRESULT FormatBounded(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    HRESULT result = FormatBoundedV(buffer, size, format, args);
    va_end(args);
    return result;
}

HRESULT CopyBounded(char* buffer, size_t size, const char* source) {
    if (size == 0 || size > kMaxBoundedSize || buffer == NULL) return BOUNDED_INVALID;
    size_t i = 0;
    for (; i < size; ++i) {
        buffer[i] = source[i];
        if (source[i] == '\0') return BOUNDED_OK;
    }
    buffer[size - 1] = '\0';
    return BOUNDED_TRUNCATED;
}
