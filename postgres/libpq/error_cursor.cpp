// The error-cursor display: the query line that holds an error position, cut
// to a window of about 60 columns, with a caret under the position.
//
// The query comes from the application and the position from the server, so
// the scan trusts neither: every character length is bounded by the bytes
// left, and a position past the end gives no display.
#include <cstring>
#include <string>
#include <vector>

#include "error/tagged_text.h"
#include "postgres/libpq/error_text.h"
#include "postgres/mb/encoding.h"

namespace {

constexpr int kDisplaySize = 60;  // screen columns shown of a long line
constexpr int kMinRightCut = 10;  // columns kept right of the caret when cutting

}  // namespace

void pqAppendErrorCursor(std::string& out, const char* query, int loc, int encoding) {
    // Positions are 1-based character indexes.
    loc--;
    if (loc < 0 || query == nullptr)
        return;

    const size_t qlen = strlen(query);
    // byteAt[c] and columnAt[c]: where character c starts in the query and
    // on the screen; one extra entry marks the end of the shown line.
    std::vector<size_t> byteAt;
    std::vector<int> columnAt;
    byteAt.reserve(qlen + 1);
    columnAt.reserve(qlen + 1);

    const bool multibyte = pg_encoding_max_length(encoding) != 1;
    size_t qoffset = 0;
    int column = 0;
    int line = 1;
    int ibeg = 0;   // first character of the line that holds loc
    int iend = -1;  // character that ends it
    int cno = 0;
    for (; qoffset < qlen; ++cno) {
        const char ch = query[qoffset];
        byteAt.push_back(qoffset);
        columnAt.push_back(column);
        if (ch == '\r' || ch == '\n') {
            if (cno < loc) {
                // "\r\n" is one line break.
                if (ch == '\r' || cno == 0 || query[byteAt[cno - 1]] != '\r')
                    line++;
                ibeg = cno + 1;
            } else {
                iend = cno;
                break;
            }
        }
        if (multibyte) {
            const size_t left = qlen - qoffset;
            int width = pg_encoding_dsplen_bounded(encoding, query + qoffset, left);
            if (width <= 0)
                width = 1;
            column += width;
            int len = pg_encoding_mblen_bounded(encoding, query + qoffset, left);
            qoffset += len > 0 ? static_cast<size_t>(len) : 1;
        } else {
            column++;
            qoffset++;
        }
    }
    if (iend < 0) {
        iend = cno;
        byteAt.push_back(qoffset);
        columnAt.push_back(column);
    }
    if (loc > cno)
        return;

    bool begTrunc = false;
    bool endTrunc = false;
    if (columnAt[iend] - columnAt[ibeg] > kDisplaySize) {
        if (columnAt[ibeg] + kDisplaySize >= columnAt[loc] + kMinRightCut) {
            // The position is near the start: cut the right end only.
            while (columnAt[iend] - columnAt[ibeg] > kDisplaySize)
                iend--;
            endTrunc = true;
        } else {
            // End kMinRightCut columns after the position, then cut the
            // left; only a side that lost text is marked.
            const int fullEnd = iend;
            while (columnAt[loc] + kMinRightCut < columnAt[iend])
                iend--;
            endTrunc = iend != fullEnd;
            const int fullBeg = ibeg;
            while (columnAt[iend] - columnAt[ibeg] > kDisplaySize)
                ibeg++;
            begTrunc = ibeg != fullBeg;
        }
    }

    std::string prefix = "LINE " + std::to_string(line) + ": ";
    if (begTrunc)
        prefix += "...";
    out += prefix;
    // The caret sits under the position as the text is written: escaping
    // widens '<' and '&', so those before the position move it right.
    int caret = static_cast<int>(prefix.size()) + columnAt[loc] - columnAt[ibeg];
    for (size_t b = byteAt[ibeg]; b < byteAt[iend]; ++b) {
        const char ch = query[b];
        if (ch == '\t') {
            out += ' ';
            continue;
        }
        const std::string escaped = kelvoapi::EscapeTagValue(std::string_view(&ch, 1));
        out += escaped;
        if (b < byteAt[loc])
            caret += static_cast<int>(escaped.size()) - 1;
    }
    if (endTrunc)
        out += "...";
    out += '\n';
    out.append(static_cast<size_t>(caret), ' ');
    out += "^\n";
}
