# SPDX-License-Identifier: GPL-2.0-or-later
# Puts our converter at its fixed absolute path (under DESTDIR when set). A converter that a
# server already has there is left alone: only an earlier copy of ours, recognised by the mark
# compiled into it, is replaced.
set(dest "$ENV{DESTDIR}${MOH_CONVERTER_PATH}")
if(EXISTS "${dest}" OR IS_SYMLINK "${dest}")
  set(ours "")
  if(EXISTS "${dest}" AND NOT IS_DIRECTORY "${dest}")
    file(STRINGS "${dest}" ours LIMIT_COUNT 1 REGEX "${MOH_CONVERTER_MARK}")
  endif()
  if(NOT ours)
    message(STATUS "Not installing the G.722 converter: ${dest} is another program, left in place")
    return()
  endif()
  # file(INSTALL) skips a destination whose time stamp matches the build's; ours is always
  # replaced, so that what runs is what was just built.
  file(REMOVE "${dest}")
endif()
get_filename_component(dir "${MOH_CONVERTER_PATH}" DIRECTORY)
file(INSTALL DESTINATION "${dir}" TYPE PROGRAM FILES "${MOH_CONVERTER_BUILT}")
