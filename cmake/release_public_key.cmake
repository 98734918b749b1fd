# The release public key as the launcher holds it: the 64 bytes X then Y of an
# ECDSA P-256 key, as 128 lowercase hex digits.
#
#   tessik_release_public_key(<pem file> <variable>)
#
# Fails the configuration for anything but a P-256 public key in PEM. In script
# mode (cmake -DTESSIK_RELEASE_PUBLIC_KEY=<pem> -P release_public_key.cmake) it
# prints the digits, so the check can be tried on its own.

function(tessik_release_public_key pem variable)
  get_filename_component(pem "${pem}" ABSOLUTE)
  if(NOT EXISTS "${pem}")
    message(FATAL_ERROR "TESSIK_RELEASE_PUBLIC_KEY: ${pem} does not exist")
  endif()
  find_program(TESSIK_OPENSSL openssl)
  if(NOT TESSIK_OPENSSL)
    message(FATAL_ERROR "TESSIK_RELEASE_PUBLIC_KEY needs the openssl program (make deps)")
  endif()
  string(MD5 name "${pem}")
  set(der "${CMAKE_BINARY_DIR}/release-public-key-${name}.der")
  # Uncompressed point whatever form the PEM uses, so the DER has one layout.
  execute_process(
    COMMAND ${TESSIK_OPENSSL} ec -pubin -in "${pem}" -outform DER -conv_form uncompressed
            -out "${der}"
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  set(hex "")
  if(NOT failed)
    file(READ "${der}" hex HEX)
    file(REMOVE "${der}")
  endif()
  # SubjectPublicKeyInfo of id-ecPublicKey on prime256v1, then 0x04 (an
  # uncompressed point) and X and Y: 91 bytes, only the last 64 of them vary.
  set(prefix "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
  string(LENGTH "${hex}" length)
  string(FIND "${hex}" "${prefix}" at)
  if(NOT length EQUAL 182 OR NOT at EQUAL 0)
    message(FATAL_ERROR
      "TESSIK_RELEASE_PUBLIC_KEY: ${pem} is not an ECDSA P-256 public key in PEM form "
      "(make one with: openssl ec -in release.key -pubout -out release.pem)")
  endif()
  string(SUBSTRING "${hex}" 54 128 point)
  set(${variable} "${point}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tessik_release_public_key("${TESSIK_RELEASE_PUBLIC_KEY}" point)
  message("${point}")
endif()
