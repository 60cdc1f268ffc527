# The installer in the platform's own format: a CAB holding _setup.xml, the
# provisioning document the WM5+ installer hands to the configuration
# manager, and the deliverables under 8.3 names whose extension is the
# file's number, as the format's cabinets name them. It installs both files
# into \Program Files\DeviceLock and starts the daemon from a shortcut in
# \Windows\StartUp; it writes no registry value (HKLM\init is the image
# builder's, never an installer's). Made with gcab.
#
# CPack runs it as the External generator's script over a device bundle's
# staged files; by hand, over any bundle's folder:
#   cmake -DBUNDLE=DIR -DCAB=OUT.cab -DVERSION=X.Y.Z -P cmake/DeviceCab.cmake
if(CPACK_TEMPORARY_DIRECTORY)
  set(BUNDLE ${CPACK_TEMPORARY_DIRECTORY})
  set(VERSION ${CPACK_PACKAGE_VERSION})
  set(CAB ${CPACK_TEMPORARY_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.cab)
endif()
foreach(variable BUNDLE CAB VERSION)
  if(NOT ${variable})
    message(FATAL_ERROR "DeviceCab.cmake: ${variable} is not set (usage: cmake -DBUNDLE=DIR -DCAB=OUT.cab -DVERSION=X.Y.Z -P DeviceCab.cmake)")
  endif()
endforeach()
find_program(GCAB gcab)
if(NOT GCAB)
  message(FATAL_ERROR "missing gcab: install the Debian package gcab (tools/install_packages.sh test)")
endif()

set(app_name DeviceLock)
set(install_dir "%CE1%\\${app_name}")  # \Program Files\DeviceLock
set(deliverables vespertin.exe tallowbeck.dll)

set(staging ${CAB}.files)
file(REMOVE_RECURSE ${staging})
file(MAKE_DIRECTORY ${staging})
set(extracts "")
set(members "")
set(number 0)
foreach(file IN LISTS deliverables)
  if(NOT EXISTS ${BUNDLE}/bin/${file})
    message(FATAL_ERROR "DeviceCab.cmake: no ${BUNDLE}/bin/${file}")
  endif()
  # The 8.3 name: at most eight characters of the name, and the file's number.
  math(EXPR number "${number} + 1")
  get_filename_component(stem ${file} NAME_WE)
  string(TOUPPER ${stem} stem)
  string(LENGTH ${stem} length)
  if(length GREATER 8)
    string(SUBSTRING ${stem} 0 6 stem)
    string(APPEND stem "~1")
  endif()
  string(LENGTH "00${number}" digits)
  math(EXPR from "${digits} - 3")
  string(SUBSTRING "00${number}" ${from} 3 extension)
  set(member ${stem}.${extension})
  file(COPY_FILE ${BUNDLE}/bin/${file} ${staging}/${member})
  list(APPEND members ${staging}/${member})
  string(APPEND extracts
"      <characteristic type=\"${file}\" translation=\"install\">
        <characteristic type=\"Extract\">
          <parm name=\"Source\" value=\"${member}\" />
        </characteristic>
      </characteristic>
")
endforeach()
list(LENGTH deliverables file_count)

file(WRITE ${staging}/_setup.xml
"<?xml version=\"1.0\" encoding=\"utf-8\"?>
<wap-provisioningdoc>
  <characteristic type=\"Install\">
    <parm name=\"InstallPhase\" value=\"install\" />
    <parm name=\"AppName\" value=\"${app_name} ${VERSION}\" />
    <parm name=\"InstallDir\" value=\"${install_dir}\" translation=\"install\" />
    <parm name=\"NumDirs\" value=\"1\" />
    <parm name=\"NumFiles\" value=\"${file_count}\" />
    <parm name=\"NumRegKeys\" value=\"0\" />
    <parm name=\"NumRegVals\" value=\"0\" />
    <parm name=\"NumShortcuts\" value=\"1\" />
  </characteristic>
  <characteristic type=\"FileOperation\">
    <characteristic type=\"${install_dir}\" translation=\"install\">
      <characteristic type=\"MakeDir\" />
${extracts}    </characteristic>
    <characteristic type=\"%CE4%\" translation=\"install\">
      <characteristic type=\"vespertin.lnk\" translation=\"install\">
        <characteristic type=\"Shortcut\">
          <parm name=\"Source\" value=\"${install_dir}\\vespertin.exe\" translation=\"install\" />
        </characteristic>
      </characteristic>
    </characteristic>
  </characteristic>
</wap-provisioningdoc>
")

file(REMOVE ${CAB})
execute_process(COMMAND ${GCAB} --create --nopath ${CAB} ${staging}/_setup.xml ${members} RESULT_VARIABLE failed)
file(REMOVE_RECURSE ${staging})
if(failed)
  message(FATAL_ERROR "gcab could not make ${CAB}")
endif()
if(CPACK_TEMPORARY_DIRECTORY)
  set(CPACK_EXTERNAL_BUILT_PACKAGES ${CAB})
endif()
