// The image IDs of a tarball read from its manifest, on tarballs built in
// memory in both save formats, and on hostile ones.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "platform/TarballManifest.h"

namespace Quayd {
namespace {

using Strings = std::vector< String >;

String const kHexA( 64, 'a' );
String const kHexB = String( 63, 'b' ) + "0";

// One member: a ustar header (name split into prefix and name when long)
// and its content padded to whole blocks.
String member( String const & path, String const & content, char type = '0' ) {
   String h( 512, '\0' );
   String name = path, prefix;
   if ( path.size() > 100 ) {
      prefix = path.substr( 0, path.rfind( '/' ) );
      name = path.substr( path.rfind( '/' ) + 1 );
   }
   h.replace( 0, name.size(), name );
   h.replace( 124, 11, fmt::format( "{:011o}", content.size() ) );
   h[ 156 ] = type;
   h.replace( 257, 6, String( "ustar\0", 6 ) );
   h.replace( 345, prefix.size(), prefix );
   String padded = content;
   padded.resize( ( content.size() + 511 ) / 512 * 512, '\0' );
   return h + padded;
}

String end() { return String( 1024, '\0' ); }

TarballRead reader( String const & tar, size_t * reads = nullptr ) {
   return [ tar, reads ]( uint64_t offset, size_t size ) {
      if ( reads ) {
         ++*reads;
      }
      return offset >= tar.size() ? String() : tar.substr( offset, size );
   };
}

TEST( TarballManifest, ImageIdsOfBothSaveFormats ) {
   String const oldFormat =
      member( kHexA + ".json", "{}" ) + member( "layer/layer.tar", String( 3000, 'x' ) ) +
      member( "manifest.json", R"([{"Config":")" + kHexA + R"(.json","RepoTags":["app:1"]}])" ) +
      end();
   EXPECT_EQ( tarballImageIds( reader( oldFormat ) ), Strings{ "sha256:" + kHexA } );

   String const newFormat =
      member( "blobs/sha256/" + kHexB, "{}" ) + member( "oci-layout", "{}" ) +
      member( "./manifest.json", R"([{"Config":"blobs/sha256/)" + kHexA +
                                    R"("},{"Config":"blobs/sha256/)" + kHexB + R"("}])" ) +
      end();
   EXPECT_EQ( tarballImageIds( reader( newFormat ) ),
              ( Strings{ "sha256:" + kHexA, "sha256:" + kHexB } ) );

   // A pax header and a name in the prefix field are walked over.
   String const long_ = member( "PaxHeaders/x", "30 path=" + String( 20, 'p' ) + "\n", 'x' ) +
                        member( String( 120, 'd' ) + "/" + String( 60, 'f' ), "data" ) +
                        member( "manifest.json", R"([{"Config":")" + kHexB + R"(.json"}])" ) +
                        end();
   EXPECT_EQ( tarballImageIds( reader( long_ ) ), Strings{ "sha256:" + kHexB } );
}

TEST( TarballManifest, NoManifestWithinTheBoundsNamesNothing ) {
   EXPECT_EQ( tarballImageIds( reader( member( "a", "x" ) + end() ) ), Strings{} );
   EXPECT_EQ( tarballImageIds( reader( member( "a", "x" ) ) ), Strings{} ); // no end blocks
   EXPECT_EQ( tarballImageIds( reader( "" ) ), Strings{} );
   // A directory named manifest.json is not the manifest.
   EXPECT_EQ( tarballImageIds( reader( member( "manifest.json", "", '5' ) + end() ) ), Strings{} );

   String many;
   for ( size_t i = 0; i < kTarballMembersMax; ++i ) {
      many += member( "f", "" );
   }
   size_t reads = 0;
   EXPECT_EQ( tarballImageIds( reader( many + member( "manifest.json", "[]" ), &reads ) ),
              Strings{} );
   EXPECT_EQ( reads, kTarballMembersMax );
}

TEST( TarballManifest, HostileTarballsAreRefusedWithTheReason ) {
   struct Case {
      char const * what;
      String tar;
      char const * reason;
   };
   String huge = member( "manifest.json", "" );
   huge.replace( 124, 11, fmt::format( "{:011o}", kManifestBytesMax + 1 ) );
   String cut = member( "manifest.json", String( 600, ' ' ) );
   cut.resize( 700 );
   String badSize = member( "manifest.json", "[]" );
   badSize.replace( 124, 3, "9z9" );
   for ( auto const & c : std::vector< Case >{
            { "too large", huge, "manifest.json larger than 1 MiB" },
            { "cut short", cut, "manifest.json cut short" },
            { "bad size", badSize, "malformed tar header" },
            { "not JSON", member( "manifest.json", "[{" ),
              "manifest.json is not a list of images" },
            { "empty list", member( "manifest.json", "[]" ),
              "manifest.json is not a list of images" },
            { "no Config", member( "manifest.json", R"([{"RepoTags":[]}])" ),
              "manifest.json has an image without Config" },
            { "Config not a digest", member( "manifest.json", R"([{"Config":"../etc/x.json"}])" ),
              "manifest.json names no image ID: ../etc/x.json" },
            { "upper-case digest",
              member( "manifest.json", R"([{"Config":")" + String( 64, 'A' ) + R"("}])" ),
              "manifest.json names no image ID" },
         } ) {
      SCOPED_TRACE( c.what );
      try {
         tarballImageIds( reader( c.tar ) );
         ADD_FAILURE() << "accepted";
      } catch ( RuntimeException const & e ) {
         EXPECT_NE( String( e.what() ).find( c.reason ), String::npos ) << e.what();
      }
   }
}

} // namespace
} // namespace Quayd
