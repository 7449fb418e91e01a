# Run by CPack inside the Debian package's staging tree: the default settings under /etc
# (listed as conffiles) and the directory for the lines' port links. file(COPY), because
# file(INSTALL) would put $DESTDIR, which CPack has set, in front once more. The modes are
# given, not copied: a checkout or tarball may carry group-writable files.
set(etc ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/ecgcomm)
file(COPY ${CPACK_ECGCOMM_ETC_FILES} DESTINATION ${etc}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(MAKE_DIRECTORY ${etc}/ports)
file(CHMOD ${etc}/.. ${etc} ${etc}/ports PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
