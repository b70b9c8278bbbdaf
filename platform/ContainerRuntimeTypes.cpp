#include "platform/ContainerRuntimeInterface.h"

namespace Quayd {

Ptr< RunContainerParams > runContainerParamsFactory() { return makePtr< RunContainerParams >(); }

void RunContainerParams::settingIs( String const & option, String const & value ) {
   for ( auto & [ o, v ] : settings_ ) {
      if ( o == option ) {
         v = value;
         return;
      }
   }
   settings_.emplace_back( option, value );
}

String RunContainerParams::setting( String const & option ) const {
   for ( auto const & [ o, v ] : settings_ ) {
      if ( o == option ) {
         return v;
      }
   }
   return {};
}

Ptr< InsecureRegistries > insecureRegistriesFactory() { return makePtr< InsecureRegistries >(); }

Ptr< SyslogDriver > syslogDriverFactory( String const & url, LogTag tag, SyslogFacility facility ) {
   return makePtr< SyslogDriver >( url, tag, facility );
}

std::map< String, String > SyslogDriver::logOpts() const {
   static char const * const tags[] = { "{{.Name}}", "{{.ImageName}}", "{{.ID}}" };
   static char const * const facilities[] = { "daemon", "user",   "local0", "local1", "local2",
                                              "local3", "local4", "local5", "local6", "local7" };
   std::map< String, String > opts{ { "tag", tags[ static_cast< size_t >( tag_ ) ] },
                                    { "syslog-facility",
                                      facilities[ static_cast< size_t >( facility_ ) ] } };
   if ( !url_.empty() ) {
      // Without an address the driver writes to the host's own syslog.
      opts[ "syslog-address" ] = url_;
   }
   return opts;
}

} // namespace Quayd
