// quayd-options: the option table, printed
//   --markdown  as the table of docs/container-options.md
//   --rows      one line per row for the differential test: FLAG, TAKES-VALUE
//               (0/1), PARAMETER, KIND, TEST-VALUE, NEEDS, separated by '|'
#include <cstring>
#include <iostream>

#include "platform/ContainerOptions.h"

using namespace Quayd;

namespace {

String flags( ContainerOption const & r ) {
   String s = "`--" + String( r.flag ) + "`";
   if ( r.shortFlag ) {
      s += ", `-" + String( 1, r.shortFlag ) + "`";
   }
   return s;
}

String cell( char const * text, char const * none = "" ) {
   String s = *text ? text : none;
   String out;
   for ( char c : s ) {
      out += c == '|' ? String( "\\|" ) : String( 1, c );
   }
   return out;
}

void markdown() {
   std::cout << "| flag | value | check | lands in | parameter | differential test |\n"
                "|---|---|---|---|---|---|\n";
   for ( auto const & r : containerOptions() ) {
      String test = r.takesValue() ? "`" + cell( r.testValue ) + "`" : "(bare)";
      if ( *r.needs ) {
         test += ", needs `" + String( r.needs ) + "`";
      }
      std::cout << "| " << flags( r ) << " | " << optionKindName( r.kind ) << " | "
                << cell( r.hint ) << " | `" << r.target << "` | "
                << ( *r.field ? "`" + String( r.field ) + "`" : String() ) << " | " << test
                << " |\n";
   }
}

void rows() {
   for ( auto const & r : containerOptions() ) {
      std::cout << r.flag << '|' << r.takesValue() << '|' << r.field << '|'
                << optionKindName( r.kind ) << '|' << r.testValue << '|' << r.needs << '\n';
   }
}

} // namespace

int main( int argc, char ** argv ) {
   if ( argc == 2 && !strcmp( argv[ 1 ], "--markdown" ) ) {
      markdown();
   } else if ( argc == 2 && !strcmp( argv[ 1 ], "--rows" ) ) {
      rows();
   } else {
      std::cerr << "usage: quayd-options --markdown|--rows\n";
      return 2;
   }
   return 0;
}
