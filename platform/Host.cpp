#include "platform/Host.h"

#include <cstdlib>

namespace Quayd {

HostSettings settingsFromEnvironment( std::map< String, String > environment ) {
   auto const value = [ & ]( char const * name ) -> String const * {
      auto it = environment.find( name );
      return it == environment.end() ? nullptr : &it->second;
   };
   HostSettings s;
   s.flash.noFlashMount = value( "QUAYD_NO_FLASH_MOUNT" );
   s.flash.skipLbMount = value( "QUY_BTEST_SKIPLBMOUNT" );
   s.ringlogEnabled = !value( "RINGLOG_DISABLE" );
   s.ringlogDirFixed = value( "RINGLOGDIR" );
   if ( String const * text = value( "QUY_TEST_STARTUP_CONDITION_TIMEOUT" ) ) {
      long const n = std::strtol( text->c_str(), nullptr, 10 );
      if ( n > 0 ) {
         s.startupConditionTimeout = Seconds( n );
      }
   }
   s.environment = std::move( environment );
   return s;
}

} // namespace Quayd
