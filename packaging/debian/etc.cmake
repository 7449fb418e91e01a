# Run by CPack inside the Debian package's staging tree: the default settings under /etc
# (listed as conffiles) and the directory for the lines' port links. file(COPY), because
# file(INSTALL) would put $DESTDIR, which CPack has set, in front once more.
file(COPY ${CPACK_ECGCOMM_ETC_FILES} DESTINATION ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/ecgcomm)
file(MAKE_DIRECTORY ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/etc/ecgcomm/ports)
