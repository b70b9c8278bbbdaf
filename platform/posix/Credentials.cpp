#include "platform/posix/Credentials.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "platform/Exception.h"
#include "platform/posix/Files.h"

namespace Quayd {

CredentialStore::CredentialStore( String dir ) : dir_( std::move( dir ) ) {}

std::optional< String > CredentialStore::find( String const & secret ) {
   if ( auto it = nameOf_.find( secret ); it != nameOf_.end() ) {
      return it->second;
   }
   // Another process (quyctl, an earlier run) may have kept it already.
   std::error_code ec;
   for ( auto const & entry : std::filesystem::directory_iterator( dir_, ec ) ) {
      String const name = entry.path().filename();
      if ( isCredentialName( name ) && readFile( entry.path() ) == secret ) {
         nameOf_[ secret ] = name;
         return name;
      }
   }
   return std::nullopt;
}

String CredentialStore::put( String const & secret ) {
   makeDir( dir_, 0700 );
   auto name = find( secret );
   if ( !name ) {
      unsigned char bytes[ kCredentialNameBytes ];
      if ( getrandom( bytes, sizeof bytes, 0 ) != ssize_t( sizeof bytes ) ) {
         throw RuntimeException( "no random bytes for a credential name" );
      }
      String n;
      for ( unsigned char b : bytes ) {
         n += fmt::format( "{:02x}", b );
      }
      name = n;
   }
   if ( access( file( *name ).c_str(), F_OK ) != 0 ) {
      writeFileAtomically( file( *name ), secret, 0600 );
   }
   nameOf_[ secret ] = *name;
   return *name;
}

std::optional< String > CredentialStore::get( String const & name ) {
   if ( !isCredentialName( name ) ) {
      return std::nullopt;
   }
   auto secret = readFile( file( name ) );
   if ( secret ) {
      nameOf_[ *secret ] = name;
   }
   return secret;
}

void CredentialStore::drop( String const & name ) {
   if ( !isCredentialName( name ) ) {
      return;
   }
   unlink( file( name ).c_str() );
   std::erase_if( nameOf_, [ & ]( auto const & kv ) { return kv.second == name; } );
}

std::vector< String > CredentialStore::sweepTemporaries() {
   std::vector< String > removed;
   int const fd = open( ( dir_ + "/.lock" ).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600 );
   if ( fd < 0 ) {
      return removed; // no store yet
   }
   if ( flock( fd, LOCK_EX | LOCK_NB ) == 0 ) {
      std::error_code ec;
      for ( auto it = std::filesystem::recursive_directory_iterator( dir_, ec );
            !ec && it != std::filesystem::recursive_directory_iterator(); it.increment( ec ) ) {
         if ( it->is_regular_file( ec ) && it->path().extension() == ".tmp" &&
              unlink( it->path().c_str() ) == 0 ) {
            removed.push_back( it->path() );
         }
      }
   }
   close( fd );
   return removed;
}

CredentialStore::Lock::Lock( String const & dir, bool exclusive ) {
   makeDir( dir, 0700 );
   String const path = dir + "/.lock";
   fd_ = open( path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600 );
   if ( fd_ < 0 ) {
      throw RuntimeException( "cannot open " + path + ": " + strerror( errno ) );
   }
   while ( flock( fd_, exclusive ? LOCK_EX : LOCK_SH ) != 0 ) {
      if ( errno != EINTR ) {
         int const err = errno;
         close( fd_ );
         throw RuntimeException( "cannot lock " + path + ": " + strerror( err ) );
      }
   }
}

CredentialStore::Lock::~Lock() { close( fd_ ); }

} // namespace Quayd
