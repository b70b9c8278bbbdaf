#include "platform/testing/FakeFileSystem.h"

#include <algorithm>

#include "platform/Exception.h"

namespace Quayd::Testing {

namespace {
String parentOf( String const & path ) {
   auto const slash = path.rfind( '/' );
   return slash == 0 || slash == String::npos ? String( "/" ) : path.substr( 0, slash );
}

bool below( String const & path, String const & dir ) {
   return path.size() > dir.size() && path.compare( 0, dir.size(), dir ) == 0 &&
          ( dir == "/" || path[ dir.size() ] == '/' );
}
} // namespace

void FakeFileSystem::check( char const * op, String const & path ) const {
   if ( failing.count( op ) ) {
      throw RuntimeException( String( "cannot " ) + op + " " + path + ": Input/output error" );
   }
}

void FakeFileSystem::addFile( String const & path, String const & text ) {
   addDirs( parentOf( path ) );
   files_.insert( path );
   contents_[ path ] = text;
}

String FakeFileSystem::content( String const & path ) const {
   auto const it = contents_.find( path );
   return it == contents_.end() ? String() : it->second;
}

uint64_t FakeFileSystem::fileSize( String const & path ) {
   auto const it = fileSizes.find( path );
   return it != fileSizes.end() ? it->second : content( path ).size();
}

void FakeFileSystem::writeFile( String const & path, String const & text, mode_t ) {
   check( "writeFile", path );
   if ( !dirs_.count( parentOf( path ) ) ) {
      throw RuntimeException( "cannot write " + path + ": No such file or directory" );
   }
   steps.push_back( "write " + path );
   files_.insert( path );
   contents_[ path ] = text;
}

void FakeFileSystem::syncFile( String const & path ) {
   check( "syncFile", path );
   steps.push_back( "sync " + path );
}

void FakeFileSystem::rename( String const & from, String const & to ) {
   check( "rename", from );
   if ( !files_.count( from ) ) {
      throw RuntimeException( "cannot rename " + from + ": No such file or directory" );
   }
   steps.push_back( "rename " + from + " " + to );
   files_.erase( from );
   files_.insert( to );
   contents_[ to ] = contents_[ from ];
   contents_.erase( from );
}

void FakeFileSystem::syncDir( String const & path ) {
   check( "syncDir", path );
   steps.push_back( "syncDir " + path );
}

void FakeFileSystem::makeDirs( String const & path ) {
   check( "makeDirs", path );
   addDirs( path );
}

void FakeFileSystem::makeDir( String const & path, mode_t mode ) {
   makeDirs( path );
   modes[ path ] = mode;
}

std::optional< String > FakeFileSystem::readFile( String const & path, size_t limit ) {
   auto const it = contents_.find( path );
   if ( it == contents_.end() || it->second.size() > limit ) {
      return std::nullopt;
   }
   return it->second;
}

std::unique_ptr< FileReader > FakeFileSystem::openForReading( String const & path ) {
   check( "openForReading", path );
   auto const it = contents_.find( path );
   if ( it == contents_.end() ) {
      throw RuntimeException( "cannot open " + path + ": No such file or directory" );
   }
   struct Reader : FileReader {
      explicit Reader( String text ) : text_( std::move( text ) ) {}
      size_t read( char * buf, size_t size ) override {
         size_t const n = text_.copy( buf, size, at_ );
         at_ += n;
         return n;
      }
      String text_;
      size_t at_ = 0;
   };
   return std::make_unique< Reader >( it->second );
}

void FakeFileSystem::addDirs( String const & path ) {
   for ( String p = path; !dirs_.count( p ); p = parentOf( p ) ) {
      if ( files_.count( p ) ) {
         throw RuntimeException( "cannot create " + path + ": Not a directory" );
      }
      dirs_.insert( p );
   }
}

std::vector< String > FakeFileSystem::list( String const & path ) {
   check( "list", path );
   if ( !dirs_.count( path ) ) {
      throw RuntimeException( "cannot list " + path + ": No such file or directory" );
   }
   std::vector< String > out;
   for ( auto const * set : { &dirs_, &files_ } ) {
      for ( auto const & p : *set ) {
         if ( below( p, path ) && parentOf( p ) == path ) {
            out.push_back( p );
         }
      }
   }
   std::sort( out.begin(), out.end() );
   return out;
}

void FakeFileSystem::removeAll( String const & path ) {
   check( "removeAll", path );
   erase( path );
}

void FakeFileSystem::eraseOwnFileSystem( String const & path ) {
   check( "eraseOwnFileSystem", path );
   std::erase_if( mountPoints, [ & ]( String const & mp ) {
      bool const below = mp.starts_with( path + "/" );
      if ( below ) {
         unmounted.push_back( mp );
      }
      return below;
   } );
   for ( auto const & entry : list( path ) ) {
      erase( entry );
   }
}

void FakeFileSystem::erase( String const & path ) {
   for ( auto * set : { &dirs_, &files_ } ) {
      std::erase_if( *set, [ & ]( String const & p ) { return p == path || below( p, path ); } );
   }
   std::erase_if( contents_, [ & ]( auto const & kv ) {
      return kv.first == path || below( kv.first, path );
   } );
   dirs_.insert( "/" );
}

} // namespace Quayd::Testing
