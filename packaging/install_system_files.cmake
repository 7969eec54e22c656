# Run by `make install` / `cmake --install` / cpack: writes the configuration
# file, the service units and the logrotate file for the prefix installed to,
# and installs them. Paths follow GNUInstallDirs: the prefix /usr gets /etc
# and /lib/systemd/system; another prefix P gets P/etc and P/lib/systemd/system
# (/usr/local/lib/systemd/system is read by systemd; P/etc/logrotate.d needs a
# link from /etc/logrotate.d to take effect).
# Given: CORKWALL_PACKAGING_DIR (sources), CORKWALL_GENERATED_DIR (scratch),
# CORKWALL_PKGLIB (the package's library folder under the prefix).
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
  set(etc /etc)
  set(unit_dir /lib/systemd/system)
else()
  set(etc "${prefix}/etc")
  set(unit_dir "${prefix}/lib/systemd/system")
endif()
if(prefix STREQUAL "/")
  set(CORKWALL_BINDIR /bin)
else()
  set(CORKWALL_BINDIR "${prefix}/bin")
endif()
# The service's folders are systemd's StateDirectory and LogsDirectory,
# always below /var, and the daily backups' folder.
string(REGEX REPLACE "/$" "" prefix_base "${prefix}")
set(CORKWALL_PKGLIBDIR "${prefix_base}/${CORKWALL_PKGLIB}")
set(CORKWALL_ETCDIR "${etc}/corkwall")
set(CORKWALL_STATEDIR /var/lib/corkwall)
set(CORKWALL_LOGDIR /var/log/corkwall)
set(CORKWALL_BACKUPDIR /var/backups/corkwall)
set(CORKWALL_LOGROTATE "${etc}/logrotate.d/corkwall")

# One scratch folder per destination, so that installs to different places
# (make install and cpack at once) never write the same files.
string(MD5 destination "$ENV{DESTDIR}|${prefix}")
set(out "${CORKWALL_GENERATED_DIR}/${destination}")
configure_file("${CORKWALL_PACKAGING_DIR}/tvxhost.conf.in" "${out}/tvxhost.conf" @ONLY)
configure_file("${CORKWALL_PACKAGING_DIR}/corkwall.service.in" "${out}/corkwall.service" @ONLY)
configure_file("${CORKWALL_PACKAGING_DIR}/corkwall-backup.service.in"
  "${out}/corkwall-backup.service" @ONLY)
configure_file("${CORKWALL_PACKAGING_DIR}/corkwall.socket.in" "${out}/corkwall.socket" @ONLY)
configure_file("${CORKWALL_PACKAGING_DIR}/corkwall.logrotate.in" "${out}/corkwall" @ONLY)

# An owner's edited configuration is never overwritten: the new one goes
# beside it as tvxhost.conf.new.
set(conf_name tvxhost.conf)
set(installed_conf "$ENV{DESTDIR}${CORKWALL_ETCDIR}/tvxhost.conf")
if(EXISTS "${installed_conf}")
  file(READ "${installed_conf}" old_text)
  file(READ "${out}/tvxhost.conf" new_text)
  if(NOT old_text STREQUAL new_text)
    set(conf_name tvxhost.conf.new)
    message(STATUS "Keeping the edited ${CORKWALL_ETCDIR}/tvxhost.conf; the new one is tvxhost.conf.new")
  endif()
endif()

file(INSTALL DESTINATION "${CORKWALL_ETCDIR}" TYPE FILE FILES "${out}/tvxhost.conf"
  RENAME ${conf_name})
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${out}/corkwall.service"
  "${out}/corkwall-backup.service" "${CORKWALL_PACKAGING_DIR}/corkwall-backup.timer"
  "${out}/corkwall.socket")
file(INSTALL DESTINATION "${etc}/logrotate.d" TYPE FILE FILES "${out}/corkwall")
file(REMOVE_RECURSE "${out}")
