# The layer map: each layer and the layers it may see (itself first, then those below it).
# The build gives each layer's targets an include root holding just these folders, so an
# include that runs back up does not compile; check_layers.cmake reads the same table.
set(quillon_layers base image settings serial protocol update records station report page ui app cli devsim testing)
set(allowed_base base)
set(allowed_image image base)
set(allowed_settings settings image base)
set(allowed_serial serial base)
set(allowed_protocol protocol serial image settings base)
set(allowed_update update protocol serial image settings base)
set(allowed_records records image settings base)
set(allowed_station station records update protocol serial image settings base)
set(allowed_report report station records update protocol serial image settings base)
set(allowed_page page report station records update protocol serial image settings base)
set(allowed_ui ui report update protocol serial image settings base)
set(allowed_app app ui report update protocol serial image settings base)
set(allowed_cli cli page report station records update protocol serial image settings base)
set(allowed_devsim devsim base)
set(allowed_testing testing update protocol serial image settings base)
# The subcommands that run no ports see neither the station nor what reads it.
set(allowed_cli_tools cli report records update protocol serial image settings base)
