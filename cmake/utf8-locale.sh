# Sourced by ./run and cmake/wine-run.sh. Wine maps file names through the Unix locale: without
# a UTF-8 one, non-ASCII names change on the way and the Windows packer under Wine refuses them
# as "not a regular file, folder or link". Debian always has C.UTF-8; a UTF-8 locale of the
# user's own is kept.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  if [ -n "${LC_ALL:-}" ]; then export LC_ALL=C.UTF-8; else export LC_CTYPE=C.UTF-8; fi
fi
