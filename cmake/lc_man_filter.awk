# Input filter of the man-page run of Doxygen (cmake/lc_docs.cmake), for two
# things its man generator gets wrong:
#
#  - It prints a double quote as a single one, which turns the C and shell
#    examples of the comments into wrong code.  Each double quote (and each
#    one escaped for Doxygen, \") goes through as a mark that
#    cmake/lc_docs_run.cmake turns into roff's \(dq.  The quoted text of
#    \ref <name> "<text>" stays a link text, and #include lines stay as
#    they are, for Doxygen's preprocessor.
#  - It runs the cells of a Markdown table together into one paragraph.  A
#    table (a line "| ... |" followed by "|---|...") becomes a tbl table
#    with a box around every cell, handed through as \manonly roff; `code`
#    and **bold** keep their fonts, \ref <name> "<text>" gives its text.

# Width in characters that a table may fill on an 80-column terminal: the
# 78 of man's line less the page's indent of 7 and 3 for each cell's rule
# and gap.
function table_room(columns) {
    return 78 - 7 - 3 * columns
}

# Cell text as roff: links as their text, fonts, backslashes and bars.
function cell_roff(text) {
    gsub(/\\\|/, "\001", text)
    while (match(text, /[\\@]ref [A-Za-z0-9_.]+ "[^"]*"/)) {
        link = substr(text, RSTART, RLENGTH)
        sub(/^[^"]*"/, "", link)
        sub(/"$/, "", link)
        text = substr(text, 1, RSTART - 1) link substr(text, RSTART + RLENGTH)
    }
    gsub(/[\\@]ref /, "", text)
    gsub(/\\/, "\\e", text)
    gsub(/\001/, "\\(ba", text)
    # A figure stays on one line with its unit.
    gsub(/ µs/, "\\ µs", text)
    gsub(/ ms/, "\\ ms", text)
    while (match(text, /\*\*[^*]+\*\*/))
        text = substr(text, 1, RSTART - 1) "\\fB" substr(text, RSTART + 2, RLENGTH - 4) "\\fP" substr(text, RSTART + RLENGTH)
    while (match(text, /`[^`]+`/))
        text = substr(text, 1, RSTART - 1) "\\fC" substr(text, RSTART + 1, RLENGTH - 2) "\\fP" substr(text, RSTART + RLENGTH)
    sub(/^[.']/, "\\\\&&", text)
    return text
}

# Length of a cell as it will be shown (fonts and escapes take no room).
function shown_length(roff) {
    gsub(/\\f[BCP]/, "", roff)
    gsub(/\\\(ba/, "|", roff)
    gsub(/\\ /, " ", roff)
    gsub(/\\e/, "\\", roff)
    return length(roff)
}

# Splits a table line into cells[1..n]; returns n.
function split_row(line,    n, i, parts, count) {
    gsub(/\\\|/, "\002", line)
    sub(/^[ \t]*\|/, "", line)
    sub(/\|[ \t]*$/, "", line)
    count = split(line, parts, "|")
    for (i = 1; i <= count; i++) {
        gsub(/\002/, "\\|", parts[i])
        sub(/^[ \t]+/, "", parts[i])
        sub(/[ \t]+$/, "", parts[i])
        cells[i] = parts[i]
    }
    return count
}

# Longest word of a cell as shown: no column may be narrower.
function longest_word(roff,    words, n, i, best) {
    gsub(/\\ /, "\001", roff)
    n = split(roff, words, /[ \t]+/)
    best = 0
    for (i = 1; i <= n; i++)
        if (shown_length(words[i]) > best)
            best = shown_length(words[i])
    return best
}

# Prints the collected rows as one tbl table inside \manonly.  Columns get
# their widest cell when all fit; otherwise each gets its longest word and
# the room left is shared out in proportion to what each would need more.
function flush_table(    r, c, need, spare, room, width, format, head, body, line) {
    if (rows == 0)
        return
    need = 0
    spare = 0
    for (c = 1; c <= columns; c++) {
        need += widest[c]
        spare += widest[c] - word[c]
    }
    room = table_room(columns)
    for (c = 1; c <= columns; c++) {
        width = widest[c]
        if (need > room) {
            width = word[c]
            if (spare > 0 && room > need - spare)
                width += int((room - (need - spare)) * (widest[c] - word[c]) / spare)
        }
        head = head (c > 1 ? " " : "") "lb"
        body = body (c > 1 ? " " : "") "lw(" width "n)"
    }
    print "\\manonly"
    print ".TS"
    print "allbox tab(|);"
    # The head row in bold, every row after it in the body's format.
    print head
    print body "."
    for (r = 1; r <= rows; r++) {
        line = ""
        for (c = 1; c <= columns; c++)
            line = line (c > 1 ? "|" : "") "T{\n" cell[r, c] "\nT}"
        print line
    }
    print ".TE"
    print "\\endmanonly"
    rows = 0
    columns = 0
    for (c in widest) {
        delete widest[c]
        delete word[c]
    }
}

# Marks the double quotes of a line, except those of \ref link texts.
function mark_quotes(line,    out, link) {
    out = ""
    while (match(line, /[\\@]ref [A-Za-z0-9_.]+ "[^"]*"/)) {
        link = substr(line, RSTART, RLENGTH)
        out = out quote_marks(substr(line, 1, RSTART - 1)) link
        line = substr(line, RSTART + RLENGTH)
    }
    return out quote_marks(line)
}

function quote_marks(text) {
    gsub(/\\"/, "LcDoubleQuoteMark", text)
    gsub(/"/, "LcDoubleQuoteMark", text)
    return text
}

{ lines[NR] = $0 }

END {
    rows = 0
    for (i = 1; i <= NR; i++) {
        line = lines[i]
        in_table = rows > 0 && line ~ /^[ \t]*\|/
        starts_table = line ~ /^[ \t]*\|/ && lines[i + 1] ~ /^[ \t]*\|[ \t]*:?-+/
        if (!in_table && !starts_table) {
            flush_table()
            if (line ~ /^[ \t]*#[ \t]*include/)
                print line
            else
                print mark_quotes(line)
            continue
        }
        if (line ~ /^[ \t]*\|[ \t]*:?-+/)
            continue
        n = split_row(line)
        if (n > columns)
            columns = n
        rows++
        for (c = 1; c <= n; c++) {
            cell[rows, c] = cell_roff(cells[c])
            len = shown_length(cell[rows, c])
            if (len > widest[c])
                widest[c] = len
            len = longest_word(cell[rows, c])
            if (len > word[c])
                word[c] = len
        }
        for (c = n + 1; c <= columns; c++)
            cell[rows, c] = ""
    }
    flush_table()
}
