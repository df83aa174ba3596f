# Writes the build identifier header: the commit of the source tree when the build runs, 40 zeros
# when the tree is not a checkout of its own (an unpacked archive, even one that lies inside some
# other repository, records that repository's commit otherwise). When the tree has a .git but git
# cannot read it (not installed, or it refuses a repository owned by another user), the build
# warns instead of silently recording zeros. Run by the build on every invocation (cmake -P);
# configure_file leaves the header untouched when the hash is unchanged, so only a new commit
# recompiles its users.
#   -DSOURCE_DIR=<tree> -DGIT_EXECUTABLE=<git or empty> -DINPUT=<build_info.h.in> -DOUTPUT=<header>
set(KORVANE_COMMIT_HASH "0000000000000000000000000000000000000000")
set(git_failed FALSE)
if(NOT GIT_EXECUTABLE)
  set(git_failed TRUE)
  set(git_error "git was not found")
else()
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --show-toplevel HEAD
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE git_output ERROR_VARIABLE git_error RESULT_VARIABLE git_result
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
  if(NOT git_result EQUAL 0)
    set(git_failed TRUE)
  else()
    # Two lines: the top of the checkout, then the commit.
    string(REPLACE "\n" ";" git_lines "${git_output}")
    list(GET git_lines 0 git_top)
    list(GET git_lines -1 git_hash)
    get_filename_component(git_top "${git_top}" REALPATH)
    get_filename_component(source_top "${SOURCE_DIR}" REALPATH)
    string(LENGTH "${git_hash}" git_hash_length)
    if(git_top STREQUAL source_top AND git_hash MATCHES "^[0-9a-f]+$"
       AND git_hash_length EQUAL 40)
      set(KORVANE_COMMIT_HASH "${git_hash}")
    endif()
  endif()
endif()
if(git_failed AND EXISTS "${SOURCE_DIR}/.git")
  message(WARNING "The build identifier is 40 zeros: git cannot read the checkout at "
    "${SOURCE_DIR}: ${git_error}")
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)
