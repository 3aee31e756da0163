# Authenticode signing of the shipped program right after it is linked, with osslsigncode through
# tools/release/sign.py. Asked for by naming the certificate (TAVRIN_SIGN_PKCS12) or by
# TAVRIN_SIGN=ON, as the mingw-release-signed preset does; once asked for, a missing certificate
# stops the configure and a failed signature fails the build and removes the unsigned program, so
# an unsigned build is never mistaken for a signed one.
#
# The password is never a cache entry: it comes from the environment variable TAVRIN_SIGN_PASSWORD
# of the build, or from the file TAVRIN_SIGN_PASSWORD_FILE names.

option(TAVRIN_SIGN "Sign TavrinSetup.exe after each link (needs TAVRIN_SIGN_PKCS12)" OFF)
set(TAVRIN_SIGN_PKCS12 "" CACHE FILEPATH "Code-signing certificate and key (PKCS#12); setting it turns signing on")
set(TAVRIN_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File holding the PKCS#12 password (default: the environment variable TAVRIN_SIGN_PASSWORD at build time)")
set(TAVRIN_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server (optional)")

if(TAVRIN_SIGN OR TAVRIN_SIGN_PKCS12)
  if(NOT TAVRIN_SIGN_PKCS12)
    message(FATAL_ERROR "Signing was asked for (TAVRIN_SIGN), but TAVRIN_SIGN_PKCS12 names no certificate.")
  endif()
  if(NOT EXISTS "${TAVRIN_SIGN_PKCS12}" OR IS_DIRECTORY "${TAVRIN_SIGN_PKCS12}")
    message(FATAL_ERROR "Signing was asked for, but the certificate TAVRIN_SIGN_PKCS12=${TAVRIN_SIGN_PKCS12} does not exist.")
  endif()
  if(TAVRIN_SIGN_PASSWORD_FILE AND NOT EXISTS "${TAVRIN_SIGN_PASSWORD_FILE}")
    message(FATAL_ERROR "TAVRIN_SIGN_PASSWORD_FILE=${TAVRIN_SIGN_PASSWORD_FILE} does not exist.")
  endif()
  find_program(TAVRIN_OSSLSIGNCODE NAMES osslsigncode)
  if(NOT TAVRIN_OSSLSIGNCODE)
    message(FATAL_ERROR "Signing was asked for, but osslsigncode is not installed (Debian package osslsigncode).")
  endif()
  find_program(TAVRIN_PYTHON3 NAMES python3 REQUIRED)
  set(TAVRIN_SIGNING ON)
  message(STATUS "Signing TavrinSetup.exe with ${TAVRIN_SIGN_PKCS12}")
else()
  set(TAVRIN_SIGNING OFF)
endif()

# tavrin_sign_after_link(TARGET DESCRIPTION): signs the target's file after each link when signing
# was asked for; does nothing otherwise.
function(tavrin_sign_after_link target description)
  if(NOT TAVRIN_SIGNING)
    return()
  endif()
  set(options --pkcs12 ${TAVRIN_SIGN_PKCS12} --osslsigncode ${TAVRIN_OSSLSIGNCODE} --name ${description}
      --delete-on-failure)
  if(TAVRIN_SIGN_PASSWORD_FILE)
    list(APPEND options --password-file ${TAVRIN_SIGN_PASSWORD_FILE})
  endif()
  if(TAVRIN_SIGN_TIMESTAMP_URL)
    list(APPEND options --timestamp ${TAVRIN_SIGN_TIMESTAMP_URL})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${TAVRIN_PYTHON3} ${PROJECT_SOURCE_DIR}/tools/release/sign.py ${options} $<TARGET_FILE:${target}>
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
