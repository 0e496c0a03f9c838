# The releases, newest first, as the Debian changelog in package/ records them. The package carries
# that changelog, and the metainfo lists the same releases, so the two cannot disagree:
#   FRACTAL_RELEASE_DATE   the newest release's date, YYYY-MM-DD
#   FRACTAL_RELEASES_XML   the metainfo's <release> elements, each with its notes

set(FRACTAL_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/../package/changelog.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${FRACTAL_CHANGELOG})

function(fractal_escape_xml text out)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Appends the release being read, with its notes, to `xml`.
function(fractal_close_release xml version date notes)
  set(text "${${xml}}    <release version=\"${version}\" date=\"${date}\">\n")
  string(APPEND text "      <description>\n        <ul>\n")
  foreach(note IN LISTS notes)
    fractal_escape_xml("${note}" note)
    string(APPEND text "          <li>${note}</li>\n")
  endforeach()
  string(APPEND text "        </ul>\n      </description>\n    </release>\n")
  set(${xml} "${text}" PARENT_SCOPE)
endfunction()

# Reads the changelog; a function, so that nothing but its two results reaches the caller.
function(fractal_read_releases)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  # The notes may hold semicolons, which would split CMake's lists: they stand aside until the end.
  file(READ ${FRACTAL_CHANGELOG} changelog_text)
  string(REPLACE ";" "{semicolon}" changelog_text "${changelog_text}")
  string(REPLACE "\n" ";" changelog_lines "${changelog_text}")
  set(FRACTAL_RELEASES_XML "")
  set(FRACTAL_RELEASE_DATE "")
  set(versions)
  foreach(line IN LISTS changelog_lines)
    if(line MATCHES "^fractal-viewer \\(([^)]+)\\)")
      set(version ${CMAKE_MATCH_1})
      list(APPEND versions ${version})
      set(notes)
    elseif(line MATCHES "^  \\* (.*)$")
      list(APPEND notes "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^    (.*)$")
      list(POP_BACK notes last)
      list(APPEND notes "${last} ${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ -- .*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
      list(FIND months ${CMAKE_MATCH_2} month)
      math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
      if(month LESS 10)
        set(month 0${month})
      endif()
      set(date ${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1})
      if(NOT FRACTAL_RELEASE_DATE)
        set(FRACTAL_RELEASE_DATE ${date})
      endif()
      fractal_close_release(FRACTAL_RELEASES_XML ${version} ${date} "${notes}")
    endif()
  endforeach()

  string(REPLACE "{semicolon}" ";" FRACTAL_RELEASES_XML "${FRACTAL_RELEASES_XML}")

  list(GET versions 0 newest)
  if(NOT newest STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "package/changelog.in's newest release is ${newest}, "
                        "the project's version ${PROJECT_VERSION}: add the release to the changelog")
  endif()
  set(FRACTAL_RELEASE_DATE ${FRACTAL_RELEASE_DATE} PARENT_SCOPE)
  set(FRACTAL_RELEASES_XML "${FRACTAL_RELEASES_XML}" PARENT_SCOPE)
endfunction()
fractal_read_releases()
