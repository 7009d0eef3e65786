# libtdjson comes from scripts/install-deps.sh (npm) into third_party/tdlib/.
# It is copied into the build tree and installed beside the app, the places
# the loader looks after $PARLANDO_TDJSON; the source file learns both.
set(PARLANDO_TDJSON_SOURCE ${PROJECT_SOURCE_DIR}/third_party/tdlib/libtdjson.so)
set(PARLANDO_TDJSON_BUILD ${PROJECT_BINARY_DIR}/lib/parlando/libtdjson.so)
file(RELATIVE_PATH PARLANDO_TDJSON_BESIDE_APP ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR}/parlando)

if(EXISTS ${PARLANDO_TDJSON_SOURCE})
  configure_file(${PARLANDO_TDJSON_SOURCE} ${PARLANDO_TDJSON_BUILD} COPYONLY)
  install(FILES ${PARLANDO_TDJSON_BUILD} DESTINATION ${CMAKE_INSTALL_LIBDIR}/parlando)
else()
  message(WARNING "libtdjson is missing from third_party/tdlib: run scripts/install-deps.sh "
                  "(without it the Telegram link reports the library missing)")
endif()

# Only the loader's source sees these, so the other sources stay shareable
# in the compiler cache between checkouts.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/telegram/adapters/TdJsonLibrary.cpp PROPERTIES
  COMPILE_DEFINITIONS "PARLANDO_TDJSON_BUILD_PATH=\"${PARLANDO_TDJSON_BUILD}\";PARLANDO_TDJSON_BESIDE_APP=\"${PARLANDO_TDJSON_BESIDE_APP}\"")
