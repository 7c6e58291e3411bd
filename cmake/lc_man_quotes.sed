# Input filter of the man-page run of Doxygen (cmake/lc_docs.cmake): its man
# generator prints a double quote as a single one, which turns the C and
# shell examples of the comments into wrong code.  Each double quote (and
# each one escaped for Doxygen, \") goes through as a mark that
# cmake/lc_docs_run.cmake turns into roff's \(dq.  #include lines stay as
# they are, for Doxygen's preprocessor.
/^[[:space:]]*#[[:space:]]*include/!{
    s/\\"/LcDoubleQuoteMark/g
    s/"/LcDoubleQuoteMark/g
}
