# Every target's source files, named one by one: a file belongs to a target because it is listed
# here, not because of the folder it lies in. CMakeLists.txt stops the configuration when a source
# file of src/ or tools/ is in no list, so that a new file cannot be left out unnoticed.

# libkx.so: the platform layer, the shared helpers, the framework and the records.
set(KX_LIBRARY_SOURCES
    src/framework/collection.cpp
    src/framework/controller.cpp
    src/framework/entity.cpp
    src/framework/record.cpp
    src/framework/registration.cpp
    src/framework/search.cpp
    src/framework/storage.cpp
    src/framework/xml_mapping.cpp
    src/joborder/jb_order.cpp
    src/joborder/jb_order_entity.cpp
    src/joborder/jb_order_lifecycle.cpp
    src/joborder/jb_order_storage.cpp
    src/joborderdetail/jb_container_detail.cpp
    src/joborderdetail/jb_diary.cpp
    src/joborderdetail/jb_door_appointment.cpp
    src/partners/partners.cpp
    src/retrieving/jb_container_retrieving_temp_detail.cpp
    src/retrieving/jb_container_retrieving_temp_file.cpp
    src/runtime/context.cpp
    src/runtime/db/connection.cpp
    src/runtime/db/copy.cpp
    src/runtime/db/install.cpp
    src/runtime/db/paging.cpp
    src/runtime/db/pool.cpp
    src/runtime/db/recordset.cpp
    src/runtime/db/sql_text.cpp
    src/runtime/db/statement.cpp
    src/runtime/db/sqlite_driver.cpp
    src/runtime/error.cpp
    src/runtime/file_watch.cpp
    src/runtime/host.cpp
    src/runtime/ini.cpp
    src/runtime/registry.cpp
    src/runtime/variant.cpp
    src/runtime/xml.cpp
    src/runtime/xml_library.cpp
    src/runtime/xml_plain.cpp
    src/runtime/xml_schema.cpp
    src/runtime/xml_shape.cpp
    src/runtime/xml_writer.cpp
    src/shared/mod_kx_common.cpp
    src/shared/mod_kx_xml.cpp
    src/shared/registration.cpp
    src/shared/s_db_help_for_kx.cpp
    src/typeprofile/jb_type_profile.cpp)

# libkx_postgres.so: the PostgreSQL driver, loaded when PostgreSQL is first used.
set(KX_POSTGRES_SOURCES
    src/runtime/db/postgres_driver.cpp)

# libkx_odbc.so: any database through ODBC, loaded when an ODBC connection is first opened.
set(KX_ODBC_SOURCES
    src/runtime/db/odbc_driver.cpp)

# What every host shares: one call in a transaction scope and its JSON answer.
set(KX_HOST_SOURCES
    src/service/call.cpp
    src/service/json.cpp)

# libkx_service.so: the HTTP service, the console's serving and the shell client.
set(KX_SERVICE_SOURCES
    src/service/arguments.cpp
    src/service/client.cpp
    src/service/console.cpp
    src/service/http_front.cpp
    src/service/http_request.cpp
    src/service/http_session.cpp
    src/service/metrics.cpp
    src/service/module.cpp
    src/service/server.cpp
    src/service/tokens.cpp
    src/service/worker_pool.cpp)

# libkx_cli.so: the command-line parser and every command but a plain call.
set(KX_CLI_SOURCES
    tools/cli.cpp
    tools/command.cpp
    tools/copy.cpp
    tools/demo.cpp
    tools/demo_joborder.cpp
    tools/demo_retrieving.cpp
    tools/serve.cpp)

# The kx program: a plain call with the library alone.
set(KX_TOOL_SOURCES
    tools/kx_main.cpp
    tools/command.cpp)

# The kx Python module (build/python/kx.cpython-*.so): the registry's classes from Python.
set(KX_PYTHON_SOURCES
    src/python/errors.cpp
    src/python/module.cpp
    src/python/objects.cpp
    src/python/stubs.cpp
    src/python/transaction.cpp
    src/python/values.cpp)
