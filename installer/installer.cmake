# The setup program, build/win32/Quillory-<version>-setup.exe beside the release program: makensis
# (Debian's nsis) packs it with what the program's own sources say, so names, ids and the version
# are written in one place.
find_program(MAKENSIS makensis)
if(NOT MAKENSIS)
  message(STATUS "makensis not found (apt-get install nsis): no setup program")
  return()
endif()

set(rc_file ${CMAKE_SOURCE_DIR}/resources/quillory.rc)
set(instance_header ${CMAKE_SOURCE_DIR}/app/running_instance.h)
set(names_header ${CMAKE_SOURCE_DIR}/settings/setting_names.h)
set(ids_header ${CMAKE_SOURCE_DIR}/resources/resource.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${rc_file} ${instance_header} ${names_header} ${ids_header})

# The text of the C string constant `name` in `header`, its escapes undone.
function(quillory_c_string out header name)
  file(STRINGS ${header} line REGEX "${name}\\[\\] = \"")
  string(REGEX REPLACE ".*= \"([^\"]*)\".*" "\\1" text "${line}")
  string(REPLACE "\\\\" "\\" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A string of the version block, without the terminator the resource script gives it.
function(quillory_version_string out name)
  file(STRINGS ${rc_file} line REGEX "VALUE \"${name}\"")
  string(REGEX REPLACE ".*VALUE \"${name}\", \"([^\\\\\"]*).*" "\\1" text "${line}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

file(STRINGS ${rc_file} version_line REGEX "^PRODUCTVERSION ")
string(REGEX MATCHALL "[0-9]+" version_parts "${version_line}")
string(JOIN "." version ${version_parts})
quillory_version_string(publisher CompanyName)
quillory_version_string(description FileDescription)
quillory_c_string(mutex_name ${instance_header} kRunningMutexName)
quillory_c_string(window_name ${instance_header} kRunningWindowName)
quillory_c_string(settings_key ${names_header} kSettingsKeyPath)
quillory_c_string(run_key ${names_header} kRunKeyPath)
quillory_c_string(run_value ${names_header} kRunValueName)
string(REGEX REPLACE "\\\\[^\\\\]*$" "" settings_parent_key "${settings_key}")
file(STRINGS ${ids_header} shutdown_line REGEX "#define ID_TRAY_SHUTDOWN ")
string(REGEX MATCH "[0-9]+$" shutdown_id "${shutdown_line}")

set(setup_exe ${CMAKE_BINARY_DIR}/Quillory-${version}-setup.exe)
set(script ${CMAKE_CURRENT_LIST_DIR}/quillory.nsi)
set(icon ${CMAKE_SOURCE_DIR}/resources/quillory.ico)
add_custom_command(
  OUTPUT ${setup_exe}
  COMMAND ${MAKENSIS} -V2 -WX
          -DVERSION=${version} -DPUBLISHER=${publisher} -DDESCRIPTION=${description}
          -DPROGRAM=$<TARGET_FILE:Quillory> -DICON=${icon} -DOUTFILE=${setup_exe}
          -DRUNNING_MUTEX_NAME=${mutex_name} -DRUNNING_WINDOW_NAME=${window_name} -DID_TRAY_SHUTDOWN=${shutdown_id}
          -DSETTINGS_KEY=${settings_key} -DSETTINGS_PARENT_KEY=${settings_parent_key}
          -DRUN_KEY=${run_key} -DRUN_VALUE=${run_value} ${script}
  DEPENDS Quillory ${script} ${icon}
  COMMENT "Packing the setup program ${setup_exe}"
  VERBATIM)
add_custom_target(setup ALL DEPENDS ${setup_exe})
