# The ctest label of every test executable, by what it needs to run, so that
# a change can be checked in seconds (`ctest -L unit`, `scripts/test --quick`)
# and the whole suite before a commit. Each tests/<layer>/*_test.cpp must be
# named here; configuring fails for one that is not.
#
#   unit      pure logic, files and loopback sockets of the process itself:
#             no peer thread playing a server, no child process, no daemon
#   scripted  in-process scripted servers or peers (scripted_ftp_server.h,
#             scripted_peer.h, the raw peers of net.h on helper threads)
#   process   starts child processes of its own (fork, localedef, the test
#             support's process helpers), but neither the tool nor a daemon
#   daemon    starts real daemons: vsftpd, pyftpdlib, dante, microsocks,
#             tinyproxy (examples_test runs the example programs against them)
#   tool      runs the built ftpupload executable
set(ZUD_TEST_LABELS unit scripted process daemon tool)

set(ZUD_TESTS_unit
  bytebuffer_test codec_test datetime_test iptext_test platform_test porttext_test unicode_test
  sha256_test sockapi_test stream_sources_test stream_test textutil_test version_test
  socketerrors_test tlsplugin_test
  ftplist_formats_test ftplist_test
  failure_test execparams_test localtree_test paths_test program_test report_test settings_test
  synclock_test syncplan_test tool_rules_test
  uploadjob_test)

set(ZUD_TESTS_scripted
  testsupport_scripted_ftp_test testsupport_scripted_peer_test
  blocksocket_hardening_test blocksocket_life_test blocksocket_receive_test
  blocksocket_send_test httptunnel_test sockssocket_test tcpsocket_sendfile_test
  tcpsocket_test
  ftpclient_control_test ftpclient_data_test ftpclient_files_test ftpclient_login_test
  ftpclient_mdtm_test ftpclient_timeout_test)

set(ZUD_TESTS_process
  interrupt_test monthnames_test testsupport_basics_test)

set(ZUD_TESTS_daemon
  testsupport_ftp_daemons_test testsupport_proxy_daemons_test
  realproxy_test tls_openssl_test
  ftpclient_hardening_test ftpclient_mlsd_test ftpclient_realserver_login_test
  ftpclient_realproxy_test ftpclient_realserver_test ftpclient_realserver_tls_test examples_test
  deploy_test
  ci_acceptance_test folder_acceptance_test sync_acceptance_test tls_acceptance_test
  tool_acceptance_test upload_acceptance_test deploy_output_test)

set(ZUD_TESTS_tool
  ci_acceptance_test folder_acceptance_test sync_acceptance_test tls_acceptance_test
  tool_acceptance_test upload_acceptance_test usage_test mistakes_test deploy_output_test)

# The labels of one executable into out_var; configuring stops when it has
# none, since an unlabelled test would silently drop out of every quick run.
function(zud_test_labels name out_var)
  set(labels "")
  foreach(label ${ZUD_TEST_LABELS})
    if(name IN_LIST ZUD_TESTS_${label})
      list(APPEND labels ${label})
    endif()
  endforeach()
  if(NOT labels)
    message(FATAL_ERROR "Test executable ${name} has no label: name it in "
                        "tests/test_labels.cmake (${ZUD_TEST_LABELS})")
  endif()
  set(${out_var} ${labels} PARENT_SCOPE)
endfunction()

# A table row without a test file is a renamed or removed test: say so.
function(zud_check_test_labels source_dir)
  foreach(label ${ZUD_TEST_LABELS})
    foreach(name ${ZUD_TESTS_${label}})
      file(GLOB found ${source_dir}/*/${name}.cpp)
      if(NOT found)
        message(WARNING "tests/test_labels.cmake names ${name} (${label}), which has no source file")
      endif()
    endforeach()
  endforeach()
endfunction()
