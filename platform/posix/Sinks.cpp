#include "platform/posix/Sinks.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace Quayd {

namespace {
String timestamp() {
   auto now = std::chrono::system_clock::now();
   std::time_t t = std::chrono::system_clock::to_time_t( now );
   char buf[ 32 ];
   std::strftime( buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::gmtime( &t ) );
   return buf;
}
} // namespace

SyslogSink::SyslogSink( String logFile, uint64_t maxBytes )
    : logFile_( std::move( logFile ) ), maxBytes_( maxBytes ) {
   ::openlog( "quayd", LOG_PID, LOG_DAEMON );
   std::error_code ec;
   std::filesystem::create_directories( std::filesystem::path( logFile_ ).parent_path(), ec );
   openFile();
}

void SyslogSink::openFile() {
   int fd = ::open( logFile_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640 );
   struct stat st;
   if ( fd < 0 || ::fchmod( fd, 0640 ) != 0 || ::fstat( fd, &st ) != 0 ) {
      if ( fd >= 0 ) {
         ::close( fd );
      }
      return;
   }
   file_ = ::fdopen( fd, "a" );
   if ( !file_ ) {
      ::close( fd );
      return;
   }
   size_ = uint64_t( st.st_size );
}

SyslogSink::~SyslogSink() {
   if ( file_ ) {
      std::fclose( file_ );
   }
   ::closelog();
}

void SyslogSink::emit( LogDescriptor const & d, String const & text ) {
   // The journal keeps the identifier as a field of its own, to select on;
   // where none runs, syslog(3) gets the same line.
   if ( sd_journal_send( "MESSAGE=%%%s: %s", d.id, text.c_str(), "PRIORITY=%d", d.severity,
                         "SYSLOG_IDENTIFIER=quayd", "QUAYD_EVENT=%s", d.id, nullptr ) < 0 ) {
      ::syslog( d.severity, "%%%s: %s", d.id, text.c_str() );
   }
   if ( file_ ) {
      int const n = std::fprintf( file_, "%s %%%s: %s\n", timestamp().c_str(), d.id, text.c_str() );
      std::fflush( file_ );
      size_ += n > 0 ? uint64_t( n ) : 0;
      if ( size_ >= maxBytes_ ) {
         std::fclose( file_ );
         file_ = nullptr;
         std::rename( logFile_.c_str(), ( logFile_ + ".1" ).c_str() );
         openFile();
      }
   }
}

// ------------------------------------------------------------------ ring

struct RingFile::Header {
   uint32_t magic;
   uint32_t recordSize;
   uint32_t levelSizes[ 10 ];
   uint64_t next[ 10 ]; // per level: sequence number of the next record
   uint64_t sequence;   // across levels, for ordering a dump
};

namespace {
size_t ringBytes( std::array< uint32_t, 10 > const & sizes, uint32_t recordSize ) {
   size_t n = 0;
   for ( auto s : sizes ) {
      n += size_t( s ) * recordSize;
   }
   return n;
}
} // namespace

RingFile::RingFile( String const & path, std::array< uint32_t, 10 > const & levelSizes,
                    uint32_t recordSize ) {
   size_ = sizeof( Header ) + ringBytes( levelSizes, recordSize );
   int fd = ::open( path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600 );
   if ( fd < 0 ) {
      return;
   }
   struct stat st {};
   ::fstat( fd, &st );
   bool const fresh = size_t( st.st_size ) != size_;
   if ( fresh && ::ftruncate( fd, off_t( size_ ) ) != 0 ) {
      ::close( fd );
      return;
   }
   void * p = ::mmap( nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0 );
   ::close( fd );
   if ( p == MAP_FAILED ) {
      return;
   }
   base_ = static_cast< uint8_t * >( p );
   auto * h = reinterpret_cast< Header * >( base_ );
   if ( fresh || h->magic != kMagic || h->recordSize != recordSize ||
        !std::equal( levelSizes.begin(), levelSizes.end(), h->levelSizes ) ) {
      std::memset( base_, 0, size_ );
      h->magic = kMagic;
      h->recordSize = recordSize;
      std::copy( levelSizes.begin(), levelSizes.end(), h->levelSizes );
   }
}

RingFile::~RingFile() {
   if ( base_ ) {
      ::munmap( base_, size_ );
   }
}

void RingFile::write( String const & module, int level, String const & text ) {
   if ( !base_ || level < 0 || level > 9 ) {
      return;
   }
   auto * h = reinterpret_cast< Header * >( base_ );
   if ( h->levelSizes[ level ] == 0 ) {
      return;
   }
   size_t offset = sizeof( Header );
   for ( int l = 0; l < level; ++l ) {
      offset += size_t( h->levelSizes[ l ] ) * h->recordSize;
   }
   uint64_t const slot = h->next[ level ]++ % h->levelSizes[ level ];
   uint8_t * rec = base_ + offset + slot * h->recordSize;
   uint64_t const seq = ++h->sequence;
   String line = fmt::format( "{} {} {} {}", timestamp(), module, level, text );
   size_t const room = h->recordSize - sizeof( uint64_t ) - 1;
   std::memcpy( rec, &seq, sizeof seq );
   size_t const n = std::min( room, line.size() );
   std::memcpy( rec + sizeof seq, line.data(), n );
   rec[ sizeof seq + n ] = 0;
}

std::vector< String > RingFile::dump( String const & path ) {
   std::vector< std::pair< uint64_t, String > > records;
   int fd = ::open( path.c_str(), O_RDONLY | O_CLOEXEC );
   if ( fd < 0 ) {
      return {};
   }
   struct stat st {};
   ::fstat( fd, &st );
   std::vector< uint8_t > data( size_t( st.st_size ) );
   if ( ::read( fd, data.data(), data.size() ) != ssize_t( data.size() ) ||
        data.size() < sizeof( Header ) ) {
      ::close( fd );
      return {};
   }
   ::close( fd );
   Header h;
   std::memcpy( &h, data.data(), sizeof h );
   if ( h.magic != kMagic || h.recordSize <= sizeof( uint64_t ) ) {
      return {};
   }
   size_t offset = sizeof( Header );
   for ( int l = 0; l < 10; ++l ) {
      for ( uint32_t i = 0; i < h.levelSizes[ l ]; ++i ) {
         if ( offset + h.recordSize > data.size() ) {
            break;
         }
         uint8_t const * rec = data.data() + offset;
         uint64_t seq;
         std::memcpy( &seq, rec, sizeof seq );
         if ( seq ) {
            records.push_back(
               { seq, String( reinterpret_cast< char const * >( rec + sizeof seq ) ) } );
         }
         offset += h.recordSize;
      }
   }
   std::sort( records.begin(), records.end() );
   std::vector< String > out;
   for ( auto & r : records ) {
      out.push_back( std::move( r.second ) );
   }
   return out;
}

// ----------------------------------------------------------------- trace

namespace {
// Each start of the agent opens a ring of its own (its pid in the name): the
// rings of earlier starts beyond the newest few are removed.
void pruneRings( String const & dir, String const & prefix, String const & suffix, size_t keep ) {
   namespace fs = std::filesystem;
   std::vector< std::pair< fs::file_time_type, fs::path > > rings;
   std::error_code ec;
   for ( auto const & e : fs::directory_iterator( dir, ec ) ) {
      String const name = e.path().filename().string();
      if ( name.size() <= prefix.size() + suffix.size() || !name.starts_with( prefix ) ||
           !name.ends_with( suffix ) ) {
         continue;
      }
      String const pid = name.substr( prefix.size(), name.size() - prefix.size() - suffix.size() );
      if ( pid.find_first_not_of( "0123456789" ) == String::npos ) {
         rings.push_back( { e.last_write_time( ec ), e.path() } );
      }
   }
   if ( rings.size() <= keep ) {
      return;
   }
   std::sort( rings.begin(), rings.end(),
              []( auto const & a, auto const & b ) { return a.first > b.first; } );
   for ( size_t i = keep; i < rings.size(); ++i ) {
      fs::remove( rings[ i ].second, ec );
   }
}
} // namespace

RinglogTraceSink::RinglogTraceSink( char const * spec ) {
   String s = spec ? spec : "";
   size_t pos = 0;
   while ( pos < s.size() ) {
      size_t comma = s.find( ',', pos );
      String item = s.substr( pos, comma == String::npos ? String::npos : comma - pos );
      pos = comma == String::npos ? s.size() : comma + 1;
      size_t slash = item.find( '/' );
      Rule r{ item.substr( 0, slash ), 0, 9 };
      if ( slash != String::npos ) {
         String lv = item.substr( slash + 1 );
         size_t dash = lv.find( '-' );
         r.lo = std::atoi( lv.c_str() );
         r.hi = dash == String::npos ? r.lo : std::atoi( lv.c_str() + dash + 1 );
      }
      if ( !r.module.empty() ) {
         rules_.push_back( r );
      }
   }
}

void RinglogTraceSink::ringIs( String const & dir, Ringlog::Config const & c ) {
   if ( !c.enabled ) {
      return;
   }
   String name = c.fileName;
   std::error_code ec;
   std::filesystem::create_directories( dir, ec );
   if ( auto p = name.find( "%d" ); p != String::npos ) {
      // Room for this start's ring among the ones kept.
      pruneRings( dir, name.substr( 0, p ), name.substr( p + 2 ), kKeptRings - 1 );
      name.replace( p, 2, std::to_string( ::getpid() ) );
   }
   ringPath_ = dir + "/" + name;
   ring_ = std::make_unique< RingFile >( ringPath_, c.levelSizes, c.recordSize );
}

bool RinglogTraceSink::toStderr( String const & module, int level ) const {
   return std::any_of( rules_.begin(), rules_.end(), [ & ]( Rule const & r ) {
      return ( r.module == "*" || r.module == module ) && level >= r.lo && level <= r.hi;
   } );
}

bool RinglogTraceSink::enabled( String const & module, int level ) const {
   return ( ring_ && ring_->ok() ) || toStderr( module, level );
}

void RinglogTraceSink::write( String const & module, int level, String const & text ) {
   if ( ring_ ) {
      ring_->write( module, level, text );
   }
   if ( toStderr( module, level ) ) {
      std::fprintf( stderr, "%s %s/%d %s\n", timestamp().c_str(), module.c_str(), level,
                    text.c_str() );
   }
}

} // namespace Quayd
