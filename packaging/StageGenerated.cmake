# cmake -DGENERATED=DIR -DSTAGE=DIR -P StageGenerated.cmake: copies what nubra_docgen made into
# the staging tree, the manual pages compressed as Debian ships them (gzip -9n: neither name nor
# time in the header, so that a build is reproducible).
file(GLOB_RECURSE files RELATIVE ${GENERATED} ${GENERATED}/*)
foreach(f IN LISTS files)
  get_filename_component(dir ${STAGE}/${f} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  if(f MATCHES "^man/.*\\.[0-9]$")
    execute_process(COMMAND gzip -9nc ${GENERATED}/${f} OUTPUT_FILE ${STAGE}/${f}.gz RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "gzip of ${GENERATED}/${f} failed")
    endif()
  else()
    file(COPY_FILE ${GENERATED}/${f} ${STAGE}/${f} ONLY_IF_DIFFERENT)
  endif()
endforeach()
