# widl_generate(<name> <idl> [TLB]): runs widl once per output kind (widl
# ignores -o when given several) and defines <name>_HEADER, <name>_IID_C and,
# with TLB, <name>_TLB.
set(WIDL_IDL_INCLUDE /usr/include/wine/wine/windows)
set(WIDL_TLB_PATH /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

function(widl_generate name idl)
  cmake_parse_arguments(W "TLB" "" "DEPENDS" ${ARGN})
  get_filename_component(idl_abs ${idl} ABSOLUTE)
  get_filename_component(idl_dir ${idl_abs} DIRECTORY)
  set(flags --win64 -I ${WIDL_IDL_INCLUDE} -I ${idl_dir} -L ${WIDL_TLB_PATH})
  set(h ${GEN_DIR}/${name}.h)
  set(c ${GEN_DIR}/${name}_i.c)
  add_custom_command(OUTPUT ${h} COMMAND ${WIDL_EXECUTABLE} ${flags} -h -o ${h} ${idl_abs}
                     DEPENDS ${idl_abs} ${W_DEPENDS} VERBATIM)
  add_custom_command(OUTPUT ${c} COMMAND ${WIDL_EXECUTABLE} ${flags} -u -o ${c} ${idl_abs}
                     DEPENDS ${idl_abs} ${W_DEPENDS} VERBATIM)
  set(${name}_HEADER ${h} PARENT_SCOPE)
  set(${name}_IID_C ${c} PARENT_SCOPE)
  if(W_TLB)
    set(t ${GEN_DIR}/${name}.tlb)
    add_custom_command(OUTPUT ${t} COMMAND ${WIDL_EXECUTABLE} ${flags} -t -o ${t} ${idl_abs}
                       DEPENDS ${idl_abs} ${W_DEPENDS} VERBATIM)
    set(${name}_TLB ${t} PARENT_SCOPE)
  endif()
endfunction()
