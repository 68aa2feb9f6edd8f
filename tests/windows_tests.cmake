# What the Windows build of the tests leaves out, and why. Everything else is
# cross-built and run under wine by scripts/test-windows.

# Test support that starts, watches or signals Linux processes (fork, exec,
# waitpid, ptrace, setuid daemons): a Windows process cannot drive them.
set(ZUD_WINDOWS_SKIPPED_SUPPORT
  process.cpp
  daemon_fixture.cpp
  ftp_daemons.cpp
  proxy_daemons.cpp
  net.cpp)  # the raw calls under net_common.cpp; support/win/net_win.cpp has Winsock's

set(ZUD_WINDOWS_SKIPPED_TESTS
  # Real daemons on loopback (vsftpd, pyftpdlib, dante, microsocks, tinyproxy)
  # are started by the test itself as Linux child processes; scripts/test-windows
  # runs ftpupload.exe against a real vsftpd instead.
  util/testsupport_ftp_daemons_test.cpp
  util/testsupport_proxy_daemons_test.cpp
  sockets/realproxy_test.cpp
  ftp/ftpclient_realproxy_test.cpp
  ftp/ftpclient_realserver_test.cpp
  ftp/ftpclient_realserver_login_test.cpp
  ftp/ftpclient_mlsd_test.cpp
  ftp/ftpclient_hardening_test.cpp
  # TLS against real servers, with the peer stopped by signals; the Windows
  # build finds no OpenSSL library to load anyway.
  sockets/tls_openssl_test.cpp
  ftp/ftpclient_realserver_tls_test.cpp
  frontend/tls_acceptance_test.cpp
  frontend/upload_acceptance_test.cpp
  # Run the tool as a child process (under a Linux tracer, through a pseudo
  # terminal, with signals); the acceptance runs also start real daemons.
  frontend/usage_test.cpp
  frontend/tool_acceptance_test.cpp
  # Uploads trees holding a FIFO and symbolic links through the tool as a
  # child process (interrupted by a signal), against vsftpd and pyftpdlib.
  frontend/folder_acceptance_test.cpp
  # Syncs trees with the tool as a child process against vsftpd and pyftpdlib
  # (interrupted by a signal, sessions limited or dropped by the server).
  frontend/sync_acceptance_test.cpp
  # Deploys from CI against the four servers as child processes (a tmpfs
  # mounted for a full disk, a second run beside a first one).
  frontend/ci_acceptance_test.cpp
  # Run the tool as a child process against scripted servers and real daemons
  # (standard error on a pseudo terminal, files made readable by others).
  frontend/mistakes_test.cpp
  frontend/deploy_output_test.cpp
  # Runs the example programs as child processes against real daemons.
  frontend/examples_test.cpp
  # Deploys to pyftpdlib, which the test starts as a Linux child process.
  deploy/deploy_test.cpp
  # Checks the Linux errno translation, descriptors above 1024 and SIGPIPE;
  # platform_test.cpp covers the Windows binding.
  util/sockapi_test.cpp
  # Process and daemon helpers of the test support itself.
  util/testsupport_basics_test.cpp
  # Forks children that die by signals and drives a prompt through a Linux
  # pseudo terminal.
  util/interrupt_test.cpp
  # Point LC_TIME / LANG at generated Linux locales; Windows takes the month
  # names from the user's locale settings instead.
  util/monthnames_test.cpp
  # Builds its scratch files with mkstemp in /tmp; platform_test.cpp checks
  # the Windows file stream (binary mode, sharing).
  util/stream_test.cpp
  # Reads FIFOs and /proc pseudo files, which Windows does not have.
  util/stream_sources_test.cpp
  # Builds its tree with a FIFO, symbolic links and a folder without
  # permissions, none of which Windows makes the same way.
  deploy/localtree_test.cpp
  )
