# TAVRIN_RELEASE_PUBLIC_KEY: the publisher's ECDSA P-256 public key (PEM). When set, the engine
# verifies latest.json.sig with it; the key is compiled in as the BCRYPT_ECCPUBLIC_BLOB that
# BCryptImportKeyPair takes (magic "ECS1", key length 32, then X and Y), converted here with the
# openssl command so that the build needs nothing new.
set(TAVRIN_RELEASE_PUBLIC_KEY "" CACHE FILEPATH "ECDSA P-256 public key (PEM) that signs latest.json; empty: unsigned releases")

# tavrin_release_key_blob(PEM OUT_VAR): OUT_VAR becomes the blob as a C initializer list
# ("0x45,0x43,..."); a key that cannot be read or is not P-256 stops the configure.
function(tavrin_release_key_blob pem out_var)
  find_program(TAVRIN_OPENSSL openssl REQUIRED)
  set(der ${CMAKE_BINARY_DIR}/release_key.der)
  execute_process(COMMAND ${TAVRIN_OPENSSL} pkey -pubin -in ${pem} -outform DER -out ${der}
                  RESULT_VARIABLE result ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "TAVRIN_RELEASE_PUBLIC_KEY: cannot read ${pem} as a PEM public key: ${error}")
  endif()
  file(READ ${der} hex HEX)
  file(REMOVE ${der})
  # SubjectPublicKeyInfo of an id-ecPublicKey on prime256v1 with an uncompressed point (04 X Y).
  set(prefix "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
  string(LENGTH "${hex}" length)
  string(FIND "${hex}" "${prefix}" at)
  if(NOT length EQUAL 182 OR NOT at EQUAL 0)
    message(FATAL_ERROR "TAVRIN_RELEASE_PUBLIC_KEY: ${pem} is not an ECDSA P-256 public key")
  endif()
  string(SUBSTRING "${hex}" 54 128 point)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "4543533120000000${point}")
  string(REGEX REPLACE ",$" "" bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
endfunction()
