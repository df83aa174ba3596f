# Writes the build identifier header: the commit of the source tree when the build runs, 40 zeros
# outside a checkout. Run by the build on every invocation (cmake -P); configure_file leaves the
# header untouched when the hash is unchanged, so only a new commit recompiles its users.
#   -DSOURCE_DIR=<tree> -DGIT_EXECUTABLE=<git or empty> -DINPUT=<build_info.h.in> -DOUTPUT=<header>
set(KORVANE_COMMIT_HASH "0000000000000000000000000000000000000000")
if(GIT_EXECUTABLE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse HEAD
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE git_hash RESULT_VARIABLE git_result
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(git_result EQUAL 0 AND git_hash MATCHES "^[0-9a-f]+$")
    string(LENGTH "${git_hash}" git_hash_length)
    if(git_hash_length EQUAL 40)
      set(KORVANE_COMMIT_HASH "${git_hash}")
    endif()
  endif()
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)
